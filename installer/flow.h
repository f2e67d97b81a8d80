// The run: start-up arguments, identification, the two roads by device family, and the exits.
#pragma once

// Run state, owned by the flow for the whole run.
extern int doreboot;  // nonzero: reboot the device at the reboot exit (default 1)
extern int dofast;    // > 0: menus choose by themselves; nonzero: 1 s closing wait, not 60
extern int sys_type;  // system the device carries: 0 native, 1 second system only, 2 both
extern int sys_new;   // install target chosen in the menu, same coding
extern int wipe;      // 1 when the chosen plan wipes user data
extern char serialno[256];

// The three exchange shapes, each one run of the action queue.
// Query: zeroes retvalue, asks for `var`; the answer is then in retvalue.
void query_step(const char* var);
// Set: the queue's result, 0 when the device took the value.
int set_step(const char* var, const char* value);
// Reboot: 0 when the device took the command.
int reboot_step();
// Reboot step, then the handle closed, `seconds` waited and the device waited for with a
// "product" query whose reply is not looked at (the reply buffer is left as it is). A device
// that does not take the reboot is not waited for: -1 after the error line, else 0.
int reboot_and_reconnect(int seconds);

// The whole program; returns the process's exit status.
int installer_main(int argc, char** argv);
