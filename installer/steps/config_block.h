// The boot configuration block: 1024 bytes that tell the loader which systems the user partition
// boots.
#pragma once

#include "installer/steps/run.h"

// Writes the block for `systype` to `part` at device address `addr`, checked on the device when
// `check` is nonzero, up to 3 tries. A loader that has answered "verflag" empty so far may
// report a version once its block is written. 0, or -1
// after its own message.
[[nodiscard]] int reset_config(InstallRun& run, int systype, int addr, const char* part, int check);
