// The bilingual install menus: three for the RQ3 family (whose plans are fixed lists of whole
// files, written here) and three for the other families (whose plan is sys_new and wipe).
#pragma once

#include <cstdio>

#include "installer/steps/run.h"

enum class MenuOutcome {
    Done,    // the plan is set (other families) or every file of the lists was written (RQ3)
    Exit,    // choice "0": the run goes to the reboot exit
    Failed,  // RQ3: a file failed its check or could not be written, or the choice found none of
             // its files; the error line is printed and the run goes to the error exit
};

// `firmware` is checkfirmware's result. The choice is read from `in` (standard input in the
// program) unless run.dofast is above 0; the family menu sets run.sys_new and run.wipe.
[[nodiscard]] MenuOutcome rq3_menu(InstallRun& run, int firmware, FILE* in = stdin);
[[nodiscard]] MenuOutcome family_menu(InstallRun& run, int firmware, FILE* in = stdin);

// Internal, exposed for tests: reads one token (leading white space skipped, a token of any
// length consumed whole) and gives its first character; '0' when the input has ended.
char read_choice(FILE* in);
