// The state of one run: what the command line asked for, what the device said of itself, what
// the menu chose and what the loader stage found. One InstallRun lives for the whole run and every
// stage and step is given it; nothing of this is kept anywhere else.
#pragma once

#include "client/action_queue.h"
#include "installer/steps/device.h"

struct InstallRun {
    int doreboot = 1;  // nonzero: reboot the device at the reboot exit
    int dofast = 0;    // > 0: menus choose by themselves; nonzero: 1 s closing wait, not 60
    int sys_type = 0;  // system the device carries: 0 native, 1 second system only, 2 both
    bool sys_type_read = false;  // sys_type is the device's answer, not the default
    int sys_new = 0;             // install target chosen in the menu, same coding
    int wipe = 0;                // 1 when the chosen plan wipes user data
    char serialno[256] = {};
    // the length of the last "verflag" reply, and 1 when the loader stage requires the extended
    // partition table written
    int verflaglen = 0;
    int resetxmbr = 0;

    // The device's first "verflag" answer since it last started. Between two starts it runs one
    // loader, so every answer must be the same.
    bool verflag_asked = false;
    char verflag_first[sizeof retvalue] = {};

    // A query found the link gone: the run ends through the error exit, traced as ending in
    // identification.
    bool lost_at_query = false;
    // The run's closing reboot was not taken: the run ends through the error exit.
    bool closing_reboot_failed = false;
    // The staged loaders the chain is to walk through, and the one it is at (counted from 1).
    int chain_stages = 0;
    int chain_at = 0;

    // The device the run talks to and follows.
    RunDevice device;
};
