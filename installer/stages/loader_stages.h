// The loader stage of the other families' road, after the menu has set sys_new and wipe. It
// returns 0 to go on, or -1 after it has printed its own error line (or after a step found the
// link gone), which sends the run to the error exit.
#pragma once

#include "installer/steps/run.h"

// The loader gates, the loader chain and the final loader.
[[nodiscard]] int loader_stage(InstallRun& run);
