// The stages that run inside the flow. Each returns 0 to go on, or -1 after it has printed its
// own error line, which sends the run to the error exit.
#pragma once

// RQ3 road, before the menu: the "verflag" query with its "###Ver:" line and, when the device's
// loader is older than loader_quessel (or says nothing), loader_quessel written to "bootloader"
// after its self-check, up to 3 attempts.
int rq3_loader_stage();

// Road of the other families, after the menu has set sys_new and wipe, in this order.
int loader_stage();          // loader gates, loader chain, final loader
int variant_switch_stage();  // storage-variant switch of the VRX3 family
int download_preamble();     // banner, "verflag", "bootmode" correction, target banner
int partition_stage();       // partition tables
int package_plan();          // the package files, the system-type marker, the recovery flag

// Before anything is written: 0 when the chosen plan (sys_new, sys_type) writes at least one
// package file, else -1 after the error line.
int plan_writes_files();
// Names on standard error each signed image of the package that will be skipped for want of its
// signature file.
void name_unsigned_images();

// Loader state shared by the loader stage and the partition-table step: the length of the last
// "verflag" reply, and 1 when the loader stage requires the extended partition table written.
extern int verflaglen;
extern int resetxmbr;

// Writes the 1024-byte boot configuration block for `systype` to `part` at device address
// `addr`, verified on the device when `check` is nonzero. 0, or -1 after its own message.
int reset_config(int systype, int addr, const char* part, int check);

// Asks "verflag" into `retvalue`. The first answer since the device last started is taken as it
// is; a later one that differs from it is not (the error line is printed, false).
bool ask_verflag();
// The device has restarted: its next "verflag" answer is a first one.
void forget_verflag();
// The device's boot configuration block was written: when its answers so far were empty, its
// next "verflag" answer is a first one.
void config_block_written();

// Compares a "verflag" reply with a 3-character version on the first 3 bytes as unsigned
// values; a shorter reply ends in its zero, which is lowest. Negative when the reply is older.
int version_cmp(const char* reply, const char* ref);
