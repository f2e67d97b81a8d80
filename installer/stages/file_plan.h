// The package plan of the families other than RQ3 as data: which package file goes to which
// partition for each install target, whether it is signed and checked on the device, and when
// it is written at all. The stage code (package_plan.cpp) walks this table in order.
#pragma once

#include <cstdint>

// When a row is written, beyond having a partition for the target.
enum class plan_when {
    always,
    bios_model,    // only models that carry their own boot firmware
    data_changes,  // the user data is only replaced when the device comes from another system
};

// Where the device checks a written kernel against its signature.
enum class plan_check {
    none,
    native_kernel,  // the native kernel's place
    second_kernel,  // the native kernel's place when the second system is alone, else the
                    // layout's place for it beside the native one
};

struct plan_file {
    const char* label;  // "\nDownloading LABEL:...\n" before it goes out
    const char* file;   // null: the model's data image (its name follows the label)
    const char* sign;   // the signature file; null for a file without one
    // the partition by install target (0 native, 1 second system alone, 2 both); null: the file
    // is not part of that target's plan
    const char* partition[3];
    plan_when when;
    plan_check check;
    bool check_error_line;  // a failed check prints the plan's own line, not only the queue's
};

// the native kernel partition starts here on every model
inline constexpr uint64_t kKernelBase = 0x141000;

// clang-format off
inline constexpr plan_file kFilePlan[] = {
    // label     file           sign           native      second alone  both
    {"bios",    "bios.bin",    "bios.sign",   {"fbios",    "fbios",    "fbios"},
     plan_when::bios_model,   plan_check::none,          false},
    {"sbios",   "s-bios.bin",  "s-bios.sign", {"sbios",    "sbios",    "sbios"},
     plan_when::bios_model,   plan_check::none,          false},
    // the native system
    {"system",  "system.bin",  nullptr,       {"xzsystem", nullptr,    "xzsystem"},
     plan_when::always,       plan_check::none,          false},
    {"var",     "var.bin",     nullptr,       {"xzvar",    nullptr,    "xzvar"},
     plan_when::always,       plan_check::none,          false},
    {"kernel",  "kernel.bin",  "kernel.sign", {"xzkernel", nullptr,    "xzkernel"},
     plan_when::always,       plan_check::native_kernel, true},
    {"data",    nullptr,       nullptr,       {"xzdata",   nullptr,    "xzvfat"},
     plan_when::data_changes, plan_check::none,          false},
    // the second system: alone it takes the partitions of the native one, beside it its own
    {"esystem", "esystem.bin", nullptr,       {nullptr,    "xzsystem", "xesystem"},
     plan_when::always,       plan_check::none,          false},
    {"edata",   "edata.bin",   nullptr,       {nullptr,    "xzdata",   "xedata"},
     plan_when::always,       plan_check::none,          false},
    // a failed check of this kernel is reported by the queue's line alone
    {"vemkit",  "vemkit.bin",  "vemkit.sign", {nullptr,    "xzkernel", "xevemkit"},
     plan_when::always,       plan_check::second_kernel, false},
};
// clang-format on
