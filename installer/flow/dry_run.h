// tessaro-installer --dry-run [DOREBOOT [DOFAST [SERIAL]]]: the device is found as a run finds
// it and only asked what the road reads before it writes (getvars); then the whole install runs,
// the same code with the same lines and menus, against a twin of the device in this process,
// and the plan of what the twin received is told. Nothing is set, written or rebooted on the
// device itself.
#pragma once

#include "installer/steps/run.h"

// A whole install with these arguments (argv[0] the program), on the device the USB layer finds.
using InstallFn = int (*)(InstallRun& run, int argc, char** argv);

// argv[1] is "--dry-run". Returns the exit status the same real run would have.
int dry_run(int argc, char** argv, InstallFn install);
