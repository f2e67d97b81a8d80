// Fault injection: what the device does instead of its normal answer, for each kind of fault.
#include <gtest/gtest.h>

#include <ostream>

#include "check/crc32.h"
#include "core_driver.h"

namespace devsim_test {
namespace {

using Said = std::vector<std::string>;

struct FaultCase {
    const char* name;
    std::vector<std::string> faults;
    std::vector<Transfer> transfers;
    Said expected;
};

// test listings name a case by its name, not by its bytes
inline void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

class Faults : public testing::TestWithParam<FaultCase> {};

TEST_P(Faults, DeviceSaysExactlyThis) {
    CoreDriver d(test_device(GetParam().faults));
    EXPECT_EQ(d.run(GetParam().transfers), GetParam().expected);
}

const std::vector<Transfer> kDownload = {cmd("download:00001000"), data(0x1000)};

INSTANTIATE_TEST_SUITE_P(
    Answers, Faults,
    testing::Values(
        FaultCase{"fail_bare", {"getvar:product=fail"}, {cmd("getvar:product")}, {"A14", "R:FAIL"}},
        FaultCase{"fail_with_text",
                  {"getvar:product=fail:no such thing"},
                  {cmd("getvar:product")},
                  {"A14", "R:FAILno such thing"}},
        FaultCase{"status_lower_case",
                  {"getvar:product=status:okayRQ3"},
                  {cmd("getvar:product")},
                  {"A14", "R:okayRQ3"}},
        FaultCase{
            "status_malformed", {"getvar:*=status:OK"}, {cmd("getvar:product")}, {"A14", "R:OK"}},
        FaultCase{"status_empty", {"getvar:*=status:"}, {cmd("getvar:product")}, {"A14", "R:"}},
        FaultCase{"status_cut_to_64_bytes",
                  {"reboot=status:" + std::string(70, 'x')},
                  {cmd("reboot")},
                  {"A6", "R:" + std::string(64, 'x')}},
        // the one fault that breaks the status packet's limit
        FaultCase{"oversize_sent_whole",
                  {"getvar:product=oversize:70"},
                  {cmd("getvar:product")},
                  {"A14", "R:OKAY" + std::string(66, 'x')}},
        FaultCase{"info_flood_then_answer",
                  {"getvar:product=flood:3"},
                  {cmd("getvar:product")},
                  {"A14", "R:INFOflood 1", "R:INFOflood 2", "R:INFOflood 3", "R:OKAYRQ3"}},
        FaultCase{"info_lines_stack",
                  {"getvar:product=info:first", "getvar:product=info:second"},
                  {cmd("getvar:product")},
                  {"A14", "R:INFOfirst", "R:INFOsecond", "R:OKAYRQ3"}},
        FaultCase{"info_before_a_fail",
                  {"flash:*=info:erasing", "flash:*=fail"},
                  {cmd("flash:xzkernel")},
                  {"A14", "R:INFOerasing", "R:FAIL"}},
        FaultCase{"silence_before_the_answer",
                  {"getvar:product=silence:250"},
                  {cmd("getvar:product")},
                  {"A14", "P250", "R:OKAYRQ3"}},
        FaultCase{"silences_add_up",
                  {"*=silence:100", "getvar:*=silence:50"},
                  {cmd("getvar:product")},
                  {"A14", "P150", "R:OKAYRQ3"}}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Matching, Faults,
    testing::Values(FaultCase{"nth_occurrence_only",
                              {"getvar:product#2=fail"},
                              {cmd("getvar:product"), cmd("getvar:product"), cmd("getvar:product")},
                              {"A14", "R:OKAYRQ3", "A14", "R:FAIL", "A14", "R:OKAYRQ3"}},
                    FaultCase{"occurrence_counts_matches_only",
                              {"getvar:*#2=fail"},
                              {cmd("getvar:product"), cmd("setvar:a b"), cmd("getvar:serialno")},
                              {"A14", "R:OKAYRQ3", "A10", "R:OKAY", "A15", "R:FAIL"}},
                    FaultCase{"glob_over_the_whole_text",
                              {"flash:xzsystem*=fail"},
                              {cmd("flash:xzsystem:2000000"), cmd("flash:xzkernel")},
                              {"A22", "R:FAIL", "A14", "R:FAILno download"}},
                    FaultCase{"glob_question_mark_and_class",
                              {"getvar:[ps]?????t=fail"},
                              {cmd("getvar:product"), cmd("getvar:serialno")},
                              {"A14", "R:FAIL", "A15", "R:OKAYSIM0001"}},
                    FaultCase{"glob_must_match_all",
                              {"getvar:prod=fail"},
                              {cmd("getvar:product")},
                              {"A14", "R:OKAYRQ3"}},
                    FaultCase{"first_answer_fault_wins",
                              {"*=fail:one", "*=status:two"},
                              {cmd("getvar:product")},
                              {"A14", "R:FAILone"}}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    DataPhase, Faults,
    testing::Values(FaultCase{"data_count_smaller",
                              {"download:*=data-count:800"},
                              kDownload,
                              {"A17", "R:DATA00000800", "A4096", "R:OKAY"}},
                    FaultCase{"data_count_larger",
                              {"download:*=data-count:1001"},
                              {cmd("download:00001000")},
                              {"A17", "R:DATA00001001"}},
                    FaultCase{"short_write_then_rest",
                              {"download:*=short-write:100"},
                              {cmd("download:00001000"), data(0x1000), data(0x1000 - 100)},
                              {"A17", "R:DATA00001000", "A100", "A3996", "R:OKAY"}},
                    FaultCase{"short_write_nothing",
                              {"download:*=short-write:0"},
                              kDownload,
                              {"A17", "R:DATA00001000", "A0"}},
                    FaultCase{"short_write_only_first_transfer",
                              {"download:*=short-write:10"},
                              {cmd("download:00000040"), data(0x20), data(0x20), data(0x20 - 10)},
                              {"A17", "R:DATA00000040", "A10", "A32", "A22", "R:OKAY"}},
                    // a download answered OKAY is still followed by its data
                    FaultCase{"status_okay_keeps_data_phase",
                              {"download:*=status:OKAY"},
                              kDownload,
                              {"A17", "R:OKAY", "A4096", "R:OKAY"}},
                    FaultCase{"fail_has_no_data_phase",
                              {"download:*=fail"},
                              {cmd("download:00001000"), cmd("getvar:product")},
                              {"A17", "R:FAIL", "A14", "R:OKAYRQ3"}}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    GoingAway, Faults,
    testing::Values(FaultCase{"vanish_on_command",
                              {"getvar:product=vanish:command"},
                              {cmd("getvar:product")},
                              {"vanish"}},
                    FaultCase{"vanish_before_status_of_command",
                              {"getvar:product=vanish:status"},
                              {cmd("getvar:product")},
                              {"A14", "vanish"}},
                    FaultCase{"vanish_before_status_of_download",
                              {"download:*=vanish:status"},
                              kDownload,
                              {"A17", "R:DATA00001000", "A4096", "vanish"}},
                    FaultCase{"vanish_in_data_phase",
                              {"download:*=vanish:data:1000"},
                              {cmd("download:00001000"), data(512), data(512)},
                              {"A17", "R:DATA00001000", "A512", "vanish"}},
                    FaultCase{"vanish_after_whole_data",
                              {"download:*=vanish:data:99999"},
                              kDownload,
                              {"A17", "R:DATA00001000", "vanish"}},
                    FaultCase{"vanish_at_first_data_byte",
                              {"download:*=vanish:data:0"},
                              kDownload,
                              {"A17", "R:DATA00001000", "vanish"}},
                    FaultCase{"back_at_once_and_serving",
                              {"getvar:product#1=vanish:command"},
                              {cmd("getvar:product"), cmd("getvar:product")},
                              {"vanish", "A14", "R:OKAYRQ3"}},
                    FaultCase{"away_on_reboot",
                              {"reboot=away:3000"},
                              {cmd("reboot")},
                              {"A6", "R:OKAY", "reboot:3000"}},
                    FaultCase{
                        "failed_reboot_stays", {"reboot=fail"}, {cmd("reboot")}, {"A6", "R:FAIL"}},
                    FaultCase{"vanish_instead_of_reboot_answer",
                              {"reboot=vanish:status"},
                              {cmd("reboot"), cmd("getvar:product")},
                              {"A6", "vanish", "A14", "R:OKAYRQ3"}},
                    // a loader that restarts before it answers: no answer, and the reboot
                    FaultCase{"restart_before_reboot_answer",
                              {"reboot=restart"},
                              {cmd("reboot")},
                              {"A6", "reboot:500"}},
                    FaultCase{"restart_only_on_reboot",
                              {"getvar:product=restart"},
                              {cmd("getvar:product")},
                              {"A14", "R:OKAYRQ3"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FaultEffects, AnotherSerialFromTheRebootOn) {
    CoreDriver d(test_device({"reboot#2=serial:OTHER1"}));
    const std::string serial = d.core().config().serial;
    d.run({cmd("reboot")});
    EXPECT_EQ(d.core().config().serial, serial);
    d.run({cmd("reboot")});
    EXPECT_EQ(d.core().config().serial, "OTHER1");
}

TEST(FaultEffects, VanishLosesTheDownload) {
    CoreDriver d(test_device({"getvar:product=vanish:command"}));
    EXPECT_EQ(d.run(kDownload).back(), "R:OKAY");
    EXPECT_EQ(d.send(cmd("getvar:product")), (Said{"vanish"}));
    EXPECT_EQ(d.answer("flash:xzkernel"), "FAILno download");
}

TEST(FaultEffects, FailedFlashStoresNothing) {
    CoreDriver d(test_device({"flash:*=fail"}));
    EXPECT_EQ(d.flash("xzkernel", pattern_bytes(0x10)), "FAIL");
    EXPECT_EQ(d.answer("check:xzkernel 141000 10 0"), "FAILrange not written");
}

TEST(FaultEffects, VanishBeforeStatusStillStores) {
    // the write happened; only its OKAY was lost
    CoreDriver d(test_device({"flash:*=vanish:status"}));
    auto bytes = pattern_bytes(0x10);
    d.flash("xzkernel", bytes);
    auto crc = GetBufferCRC(bytes.data(), 0x10);
    EXPECT_EQ(d.answer("check:xzkernel 141000 10 " + hex(crc)), "OKAY");
}

TEST(FaultEffects, CorruptMakesALaterCheckFail) {
    auto bytes = pattern_bytes(0x1000, 9);
    const std::string good =
        "check:xzkernel 141000 1000 " + hex(GetBufferCRC(bytes.data(), 0x1000));
    for (const char* fault : {"download:*=corrupt", "flash:xzkernel=corrupt"}) {
        CoreDriver d(test_device({fault}));
        EXPECT_EQ(d.flash("xzkernel", bytes), "OKAY") << fault;
        EXPECT_EQ(d.answer(good), "FAILcrc mismatch") << fault;
        // exactly one byte differs: the first, inverted
        auto flipped = bytes;
        flipped[0] ^= 0xFF;
        EXPECT_EQ(
            d.answer("check:xzkernel 141000 1000 " + hex(GetBufferCRC(flipped.data(), 0x1000))),
            "OKAY")
            << fault;
    }
}

TEST(FaultEffects, CorruptHitsOnlyItsOccurrence) {
    auto bytes = pattern_bytes(0x100, 5);
    const std::string good = "check:xzkernel 141000 100 " + hex(GetBufferCRC(bytes.data(), 0x100));
    CoreDriver d(test_device({"flash:xzkernel#1=corrupt"}));
    EXPECT_EQ(d.flash("xzkernel", bytes), "OKAY");
    EXPECT_EQ(d.answer(good), "FAILcrc mismatch");
    EXPECT_EQ(d.flash("xzkernel", bytes), "OKAY");
    EXPECT_EQ(d.answer(good), "OKAY");
}

}  // namespace
}  // namespace devsim_test
