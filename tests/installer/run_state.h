// A fresh run for the stages under test: the device's board id stored as a run stores it, the
// current and the chosen systems.
#pragma once

#include <cstring>

#include "installer/boardtype/boardtype.h"
#include "installer/steps/run.h"

inline InstallRun run_state(const char* serial, int type, int target) {
    InstallRun run{};
    std::strncpy(run.serialno, serial, sizeof run.serialno - 1);
    BOARD_TYPE_SET(run.serialno, static_cast<int>(std::strlen(run.serialno)));
    run.sys_type = type;
    run.sys_new = target;
    return run;
}
