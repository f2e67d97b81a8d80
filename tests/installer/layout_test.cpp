// The storage-variant switch and the partition-table step, run in this process against
// tessaro-devsim with the run state of a family install set as the menu and loader stage leave it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "installer/boardtype/boardtype.h"
#include "installer/stages/layout_stages.h"
#include "installer/steps/run.h"
#include "payload/payload.h"
#include "run_state.h"
#include "support/capture.h"
#include "support/temp_dir.h"
#include "usb_devsim.h"

namespace {

// the run the stages under test are given
InstallRun run;

using strings = std::vector<std::string>;

void set_run_state(const char* serial, int type, int target, int wipe_plan, int xmbr) {
    run = run_state(serial, type, target);
    run.wipe = wipe_plan;
    run.resetxmbr = xmbr;
}

std::string hex(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", v);
    return text;
}

// What the device sees when a table image is written to `part` and checked at `base`.
void add_table(strings& commands, const char* name, const char* part, uint32_t base) {
    const payload_image& img = image(name);
    char download[32];
    std::snprintf(download, sizeof download, "download:%08x", img.size);
    commands.push_back(download);
    commands.push_back(std::string("flash:") + part);
    commands.push_back(std::string("check:") + part + " " + hex(base) + " " + hex(img.size) + " " +
                       img.crc);
}

struct table_case {
    const char* name;
    const char* serial;
    int sys_type, sys_new, wipe, resetxmbr;
    const char* mbr;   // image expected in "xzmbr", null: not written
    const char* embr;  // image expected in "xembr", null: not written
    uint32_t embr_base;
};

// printed by name: gtest's byte dump would read the struct's padding
void PrintTo(const table_case& c, std::ostream* os) {
    *os << c.name;
}

class PartitionTablesWithOneSecondWait : public testing::TestWithParam<table_case> {};

TEST_P(PartitionTablesWithOneSecondWait, WrittenAndCheckedAsThePlanNeeds) {
    const table_case& c = GetParam();
    usb_devsim devsim(
        {"--device", "dev0", "--serial", c.serial, "--address", "xembr=" + hex(c.embr_base)});
    set_run_state(c.serial, c.sys_type, c.sys_new, c.wipe, c.resetxmbr);

    int result = -1;
    captured out = capture_output([&] { result = partition_stage(run); });
    EXPECT_EQ(result, 0) << out.err;
    EXPECT_EQ(out.err, "");

    strings expected;
    if (c.mbr) add_table(expected, c.mbr, "xzmbr", 0);
    if (c.embr) add_table(expected, c.embr, "xembr", c.embr_base);
    EXPECT_EQ(devsim.commands(), expected);
    EXPECT_EQ(devsim.partition("dev0", "xzmbr"), c.mbr ? bytes_of(c.mbr) : "");
    EXPECT_EQ(devsim.partition("dev0", "xembr"), c.embr ? bytes_of(c.embr) : "");
}

// Every row of the decision by current system, target and wipe, spread over the five layouts.
INSTANTIATE_TEST_SUITE_P(
    Rows, PartitionTablesWithOneSecondWait,
    testing::Values(
        table_case{"native_target_default_layout", "0670001", 1, 0, 0, 0, "mbrdef", nullptr, 0},
        table_case{"second_system_kept", "02A0001", 1, 1, 0, 0, nullptr, nullptr, 0},
        table_case{"second_system_wiped_2g", "02F0001", 1, 1, 1, 0, "mbr350_2g", nullptr, 0},
        table_case{"dual_to_second_13g", "13G0001", 2, 1, 0, 0, "mbr13g", nullptr, 0},
        table_case{"dual_kept_tiva", "07F0001", 2, 2, 0, 0, "mbrtiva", nullptr, 0},
        table_case{"dual_kept_loader_asks_2g", "02E0001", 2, 2, 0, 1, "mbr350_2g", "embr350_2g",
                   0x35D00000},
        table_case{"dual_wiped_4g", "0270001", 2, 2, 1, 0, "mbr350_4g", "embr350_4g", 0x5FF00000},
        table_case{"native_to_dual_default", "0510001", 0, 2, 0, 0, "mbrdef", "embrdef",
                   0x66300000},
        table_case{"second_to_dual_13g", "13G0001", 1, 2, 0, 0, "mbr13g", "embr13g", 0xE2300000},
        table_case{"native_to_dual_tiva", "0790001", 0, 2, 1, 0, "mbrtiva", "embrtiva",
                   0x77B00000}),
    [](const auto& info) { return std::string(info.param.name); });

struct failure_case {
    const char* name;
    const char* fault;
    const char* error;  // the stage's own last line
    size_t commands;    // how many the device saw: nothing is retried
    bool mbr_stored;    // the main table stays when the extended one fails
};

// printed by its name: gtest's byte dump would read the struct's padding
void PrintTo(const failure_case& c, std::ostream* os) {
    *os << c.name;
}

class PartitionTableFailures : public testing::TestWithParam<failure_case> {};

TEST_P(PartitionTableFailures, StopTheRunWithoutRetry) {
    const failure_case& c = GetParam();
    usb_devsim devsim({"--device", "dev0", "--serial", "0670001", "--fault", c.fault});
    set_run_state("0670001", 0, 2, 1, 0);

    int result = 0;
    captured out = capture_output([&] { result = partition_stage(run); });
    EXPECT_EQ(result, -1);
    ASSERT_GE(out.err.size(), std::strlen(c.error));
    EXPECT_EQ(out.err.substr(out.err.size() - std::strlen(c.error)), c.error) << out.err;
    EXPECT_EQ(devsim.commands().size(), c.commands);
    EXPECT_EQ(devsim.partition("dev0", "xzmbr"), c.mbr_stored ? bytes_of("mbrdef") : "");
}

INSTANTIATE_TEST_SUITE_P(
    Table, PartitionTableFailures,
    testing::Values(failure_case{"main_table_refused", "flash:xzmbr=fail",
                                 "\nerror: downloading mbr\n", 2, false},
                    failure_case{"main_table_check_refused", "check:xzmbr*=fail",
                                 "\nerror: crc checking mbr\n", 3, true},
                    failure_case{"extended_table_damaged", "flash:xembr=corrupt",
                                 "\nerror: crc checking embr\n", 6, true},
                    failure_case{"extended_table_refused", "download:*#2=fail",
                                 "\nerror: downloading embr\n", 4, true}),
    [](const auto& info) { return std::string(info.param.name); });

struct variant_case {
    const char* name;
    const char* serial;
    const char* marker;  // file in the package directory, null for none
    const char* marker_bytes;
    const char* out;
};

// printed by its name: gtest's byte dump would read the struct's padding
void PrintTo(const variant_case& c, std::ostream* os) {
    *os << c.name;
}

class VariantSwitchNotAsked : public testing::TestWithParam<variant_case> {};

TEST_P(VariantSwitchNotAsked, SaysTheVariantAndLeavesTheDevice) {
    const variant_case& c = GetParam();
    usb_devsim devsim({"--device", "dev0", "--serial", c.serial});
    support::ScratchDir package;
    if (c.marker) support::write_file(c.marker, c.marker_bytes);
    set_run_state(c.serial, 0, 2, 0, 0);

    int result = -1;
    captured out = capture_output([&] { result = variant_switch_stage(run); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out.out, c.out);
    EXPECT_EQ(devsim.commands(), strings{});
    EXPECT_STREQ(run.serialno, c.serial);
}

INSTANTIATE_TEST_SUITE_P(Table, VariantSwitchNotAsked,
                         testing::Values(variant_case{"four_gb_without_marker", "0670001", nullptr,
                                                      "", "\n###4GB Version."},
                                         variant_case{"four_gb_with_empty_marker", "0680001",
                                                      "ver32g.bin", "", "\n###4GB Version."},
                                         variant_case{"thirty_two_gb_with_other_marker", "13G0001",
                                                      "ver32g.bin", "1", "\n###32GB Version."},
                                         variant_case{"not_vrx3", "02A0001", "ver32g.bin", "1",
                                                      ""}),
                         [](const auto& info) { return std::string(info.param.name); });

struct switch_case {
    const char* name;
    const char* serial;
    const char* marker;
    const char* respcb;
    const char* new_serial;
    const char* out;
    const char* mbr;  // the tables of the new model
    const char* embr;
    uint32_t embr_base;
};

// printed by its name: gtest's byte dump would read the struct's padding
void PrintTo(const switch_case& c, std::ostream* os) {
    *os << c.name;
}

class VariantSwitchWithReconnectWaits : public testing::TestWithParam<switch_case> {};

TEST_P(VariantSwitchWithReconnectWaits, DeviceIsIdentifiedAgainAndGetsItsNewLayout) {
    const switch_case& c = GetParam();
    usb_devsim devsim({"--device", "dev0", "--serial", c.serial, "--reboot-delay", "0",
                       "--respcb-serial", std::string(c.respcb) + "=" + c.new_serial, "--address",
                       "xembr=" + hex(c.embr_base)});
    support::ScratchDir package;
    support::write_file(c.marker, "1");
    set_run_state(c.serial, 0, 2, 1, 0);

    int result = -1;
    captured out = capture_output([&] { result = variant_switch_stage(run); });
    EXPECT_EQ(result, 0) << out.err;
    EXPECT_EQ(out.out, c.out);
    EXPECT_STREQ(run.serialno, c.new_serial);
    EXPECT_STREQ(g_boardtype_serialno, c.new_serial);
    strings expected{"setvar:respcb " + std::string(c.respcb), "setvar:doload 1", "reboot",
                     "getvar:product", "getvar:serialno"};
    EXPECT_EQ(devsim.commands(), expected);

    // the tables that follow are those of the model the device is now
    captured tables = capture_output([&] { result = partition_stage(run); });
    EXPECT_EQ(result, 0) << tables.err;
    add_table(expected, c.mbr, "xzmbr", 0);
    add_table(expected, c.embr, "xembr", c.embr_base);
    EXPECT_EQ(devsim.commands(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    BothWays, VariantSwitchWithReconnectWaits,
    testing::Values(switch_case{"four_to_thirty_two", "0670001", "ver32g.bin", "13G", "13G0001",
                                "\n###4GB Version.\n###32GB Version(Reset).", "mbr13g", "embr13g",
                                0xE2300000},
                    switch_case{"thirty_two_to_four", "13G0002", "ver4g.bin", "000", "0680002",
                                "\n###32GB Version.\n###4GB Version(Reset).", "mbrdef", "embrdef",
                                0x66300000}),
    [](const auto& info) { return std::string(info.param.name); });

// The device comes back from the switch without a board id, or with the one it had: the run
// stops before any table is written, and its board id stays the one it was identified by.
TEST(VariantSwitchWithReconnectWaits, BoardIdNotTheVariantAskedForStopsTheRun) {
    const struct {
        const char* name;
        const char* option;  // the device's
        const char* err;
    } cases[] = {
        {"no serial number", "getvar:serialno=fail",
         "\nerror: no serial number after the storage-variant switch\n"},
        {"switch not taken", "setvar:respcb*=status:OKAY",
         "\nerror: the storage-variant switch did not take: the board id is 0670001, not one of "
         "the 32GB variant's (13G)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        usb_devsim devsim({"--device", "dev0", "--serial", "0670001", "--reboot-delay", "0",
                           "--respcb-serial", "13G=13G0001", "--fault", c.option});
        support::ScratchDir package;
        support::write_file("ver32g.bin", "1");
        set_run_state("0670001", 0, 2, 1, 0);

        int result = 0;
        captured out = capture_output([&] { result = variant_switch_stage(run); });
        EXPECT_EQ(result, -1);
        EXPECT_NE(out.err.find(c.err), std::string::npos) << out.err;
        EXPECT_EQ(out.out, "\n###4GB Version.");
        EXPECT_STREQ(run.serialno, "0670001");
        EXPECT_EQ(IS_VRX3_4GB(), 1);
    }
}

}  // namespace
