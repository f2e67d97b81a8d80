// The loader chain as data: an old device loader is walked up staged images, each gated by the
// "verflag" window it can start from. The stage code walks this table.
#pragma once

#include <cstdint>

// Where a stage's image goes, and the address the device checks it at.
struct chain_target {
    const char* partition;
    uint32_t address;
};

// One window of the chain: a reply below `refuse_below` cannot start from here; one that is up
// to `install_upto` (or below it, when not inclusive) gets the stage's image.
struct chain_stage {
    const char* refuse_below;  // null: no lower bound
    const char* install_upto;  // null: nothing to install, the final loader's turn
    const char* image;         // the embedded staged loader
    chain_target target;       // where it goes
    chain_target diags;        // where it goes instead when "bootmode" says "diags" (asked before
                               // each attempt); a null partition: no other place
    const char* error_name;    // the name a failed write shows; null: the partition's
    int restart_seconds;       // the wait after the reboot that starts it
    bool upto_inclusive;       // install_upto itself gets the image
    bool config_block;         // the boot configuration block follows, where this loader reads it
};

// refuse below, install up to, image, target, diags target, error name, restart wait, inclusive,
// block
// clang-format off
inline constexpr chain_stage kChain[] = {
    // the oldest loaders; the first staged loader goes where the device boots from
    {nullptr, "8.1", "porter", {"xloader_belto", 0x41000}, {"xloader0_belto", 0xE41000},
     nullptr, 3, true, false},
    // porter's generation
    {"8.9", "9.5", "porter1", {"xzprod", 0}, {}, "porter1", 3, true, false},
    // porter1's
    {"9.9", "A.5", "porter2", {"xzprod", 0}, {}, "porter2", 3, true, false},
    // porter2's; the last staged loader reads its boot configuration from the user partition's
    // new place
    {"A.9", "Y00", "porter3", {"xzprod", 0}, {}, "porter3p", 1, false, true},
    // porter3's and later: the final loader's turn
    {"Y00", nullptr, nullptr, {}, {}, nullptr, 0, false, false},
};
// clang-format on
