// The package's part of a run: what the package files ask for before anything is written, and
// the stage that writes them. The stages return 0 to go on, or -1 after they have printed their
// own error line (or after a step found the link gone), which sends the run to the error exit.
#pragma once

#include "installer/steps/run.h"

// The banner, the "verflag" query, the "bootmode" fix and the target banner, before the tables.
[[nodiscard]] int download_preamble(InstallRun& run);
// The package files, the system-type marker and the flag.
[[nodiscard]] int package_plan(InstallRun& run);

// Before anything is written: 0 when the chosen plan (sys_new, sys_type) writes at least one
// package file, else -1 after the error line.
[[nodiscard]] int plan_writes_files(const InstallRun& run);
// Names on standard error each signed image of the package that will be skipped for want of its
// signature file.
void name_unsigned_images();
