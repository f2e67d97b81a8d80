// The bilingual install menus: three for the RQ3 family (whose plans are fixed lists of whole
// files, written here) and three for the other families (whose plan is sys_new and wipe).
#pragma once

enum class MenuOutcome {
    Done,    // the plan is set (other families) or the list was written (RQ3)
    Exit,    // choice "0": the run goes to the reboot exit
    Failed,  // RQ3: the device refused a write; the run goes to the error exit
};

// `firmware` is checkfirmware's result.
MenuOutcome rq3_menu(int firmware);
MenuOutcome family_menu(int firmware);
