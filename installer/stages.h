// The stages that run inside the flow, each given the run. Each returns 0 to go on, or -1 after
// it has printed its own error line (or after a step found the link gone), which sends the run
// to the error exit.
#pragma once

#include "installer/run.h"

// RQ3 road, before the menu: the "verflag" query with its "###Ver:" line and, when the device's
// loader is older than the model's final loader (or says nothing), that loader written to
// "bootloader" after its self-check, up to 3 attempts.
[[nodiscard]] int rq3_loader_stage(InstallRun& run);

// Road of the other families, after the menu has set sys_new and wipe, in this order.
[[nodiscard]] int loader_stage(InstallRun& run);  // loader gates, loader chain, final loader
[[nodiscard]] int variant_switch_stage(
    InstallRun& run);  // storage-variant switch of the VRX3 family
[[nodiscard]] int download_preamble(
    InstallRun& run);  // banner, "verflag", "bootmode" fix, target banner
[[nodiscard]] int partition_stage(InstallRun& run);  // partition tables
[[nodiscard]] int package_plan(
    InstallRun& run);  // the package files, the system-type marker, the flag

// Before anything is written: 0 when the chosen plan (sys_new, sys_type) writes at least one
// package file, else -1 after the error line.
[[nodiscard]] int plan_writes_files(const InstallRun& run);
// Names on standard error each signed image of the package that will be skipped for want of its
// signature file.
void name_unsigned_images();
