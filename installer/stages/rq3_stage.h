// The loader stage of the RQ3 road, which runs before the menu. Like every stage it is given the
// run and returns 0 to go on, or -1 after it has printed its own error line (or after a step found
// the link gone), which sends the run to the error exit.
#pragma once

#include "installer/steps/run.h"

// The "verflag" query with its "###Ver:" line and, when the device's loader is older than the
// model's final loader (or says nothing), that loader written to "bootloader" after its
// self-check, up to 3 attempts.
[[nodiscard]] int rq3_loader_stage(InstallRun& run);
