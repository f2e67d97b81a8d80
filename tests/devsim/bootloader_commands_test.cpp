// The bootloader core's commands and variables, driven transfer by transfer.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>

#include "check/crc32.h"
#include "core_driver.h"

namespace devsim_test {
namespace {

using Said = std::vector<std::string>;

struct ExchangeCase {
    const char* name;
    std::vector<Transfer> transfers;
    Said expected;
};

// test listings name a case by its name, not by its bytes
inline void PrintTo(const ExchangeCase& c, std::ostream* os) {
    *os << c.name;
}

class Exchanges : public testing::TestWithParam<ExchangeCase> {};

TEST_P(Exchanges, DeviceSaysExactlyThis) {
    CoreDriver d(test_device());
    EXPECT_EQ(d.run(GetParam().transfers), GetParam().expected);
}

const std::string k61(61, 'v');

INSTANTIATE_TEST_SUITE_P(
    Commands, Exchanges,
    testing::Values(
        ExchangeCase{"getvar_known", {cmd("getvar:product")}, {"A14", "R:OKAYRQ3"}},
        ExchangeCase{"getvar_serialno", {cmd("getvar:serialno")}, {"A15", "R:OKAYSIM0001"}},
        ExchangeCase{"getvar_unknown", {cmd("getvar:verflag")}, {"A14", "R:FAILunknown variable"}},
        ExchangeCase{
            "getvar_is_case_sensitive", {cmd("getvar:Product")}, {"A14", "R:FAILunknown variable"}},
        ExchangeCase{"setvar_then_getvar",
                     {cmd("setvar:systype dual"), cmd("getvar:systype")},
                     {"A19", "R:OKAY", "A14", "R:OKAYdual"}},
        ExchangeCase{"setvar_overwrites",
                     {cmd("setvar:product RQ4"), cmd("getvar:product")},
                     {"A18", "R:OKAY", "A14", "R:OKAYRQ4"}},
        ExchangeCase{"setvar_value_keeps_its_spaces",
                     {cmd("setvar:note a b "), cmd("getvar:note")},
                     {"A16", "R:OKAY", "A11", "R:OKAYa b "}},
        ExchangeCase{"setvar_empty_value",
                     {cmd("setvar:doload "), cmd("getvar:doload")},
                     {"A14", "R:OKAY", "A13", "R:OKAY"}},
        ExchangeCase{
            "setvar_without_value", {cmd("setvar:doload")}, {"A13", "R:FAILexpected NAME VALUE"}},
        ExchangeCase{
            "setvar_without_name", {cmd("setvar: 1")}, {"A9", "R:FAILexpected NAME VALUE"}},
        // a status packet is at most 64 bytes, so a long value is cut to 60
        ExchangeCase{"long_value_cut_to_one_packet",
                     {cmd("setvar:long " + k61), cmd("getvar:long")},
                     {"A73", "R:OKAY", "A11", "R:OKAY" + k61.substr(0, 60)}},
        ExchangeCase{"unknown_command", {cmd("erase:xzdata")}, {"A12", "R:FAILunknown command"}},
        ExchangeCase{"reboot_answers_then_leaves", {cmd("reboot")}, {"A6", "R:OKAY", "reboot:500"}},
        ExchangeCase{"reboot_needs_exact_text",
                     {cmd("reboot-bootloader")},
                     {"A17", "R:FAILunknown command"}},
        ExchangeCase{"zero_length_transfer_is_no_command",
                     {cmd(""), cmd("getvar:product")},
                     {"A0", "A14", "R:OKAYRQ3"}}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Downloads, Exchanges,
    testing::Values(
        ExchangeCase{"whole_download_in_one_transfer",
                     {cmd("download:00001000"), data(0x1000)},
                     {"A17", "R:DATA00001000", "A4096", "R:OKAY"}},
        ExchangeCase{"download_in_several_transfers",
                     {cmd("download:00000a00"), data(0x400), data(0x400), data(0x200)},
                     {"A17", "R:DATA00000a00", "A1024", "A1024", "A512", "R:OKAY"}},
        // a host that sends more than it announced: the device takes what was announced
        ExchangeCase{"transfer_longer_than_the_rest",
                     {cmd("download:00000010"), data(0x20)},
                     {"A17", "R:DATA00000010", "A16", "R:OKAY"}},
        ExchangeCase{
            "download_size_zero", {cmd("download:00000000")}, {"A17", "R:FAILempty download"}},
        ExchangeCase{"download_size_not_hex",
                     {cmd("download:0000zz00")},
                     {"A17", "R:FAILbad download size"}},
        ExchangeCase{"download_size_too_long",
                     {cmd("download:000000001")},
                     {"A18", "R:FAILbad download size"}},
        ExchangeCase{
            "download_too_large", {cmd("download:40000001")}, {"A17", "R:FAILdownload too large"}},
        ExchangeCase{
            "flash_without_download", {cmd("flash:xzkernel")}, {"A14", "R:FAILno download"}},
        ExchangeCase{"flash_after_download",
                     {cmd("download:00000010"), data(0x10), cmd("flash:xzkernel")},
                     {"A17", "R:DATA00000010", "A16", "R:OKAY", "A14", "R:OKAY"}},
        // the download stays: it can be written again elsewhere
        ExchangeCase{"flash_twice",
                     {cmd("download:00000010"), data(0x10), cmd("flash:a"), cmd("flash:b:10")},
                     {"A17", "R:DATA00000010", "A16", "R:OKAY", "A7", "R:OKAY", "A10", "R:OKAY"}},
        ExchangeCase{"partition_name_climbing_out",
                     {cmd("download:00000010"), data(0x10), cmd("flash:../etc/passwd")},
                     {"A17", "R:DATA00000010", "A16", "R:OKAY", "A19", "R:FAILbad partition"}},
        ExchangeCase{"partition_name_with_slash",
                     {cmd("download:00000010"), data(0x10), cmd("flash:a/b")},
                     {"A17", "R:DATA00000010", "A16", "R:OKAY", "A9", "R:FAILbad partition"}},
        ExchangeCase{"flash_offset_not_hex",
                     {cmd("download:00000010"), data(0x10), cmd("flash:xzsystem:2g")},
                     {"A17", "R:DATA00000010", "A16", "R:OKAY", "A17", "R:FAILbad partition"}},
        ExchangeCase{"flash_empty_offset",
                     {cmd("download:00000010"), data(0x10), cmd("flash:xzsystem:")},
                     {"A17", "R:DATA00000010", "A16", "R:OKAY", "A15", "R:FAILbad partition"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Variables, SerialnoComesFromTheConfiguration) {
    auto cfg = test_device();
    cfg.vars["serialno"] = "P00118ABC";
    CoreDriver d(cfg);
    EXPECT_EQ(d.answer("getvar:serialno"), "OKAYP00118ABC");
}

TEST(Variables, SurviveAReboot) {
    CoreDriver d(test_device());
    EXPECT_EQ(d.answer("setvar:systype tess"), "OKAY");
    EXPECT_EQ(d.answer("reboot"), "OKAY");
    EXPECT_EQ(d.answer("getvar:systype"), "OKAYtess");
}

TEST(Downloads, ARebootLosesTheDownload) {
    CoreDriver d(test_device());
    EXPECT_EQ(d.run({cmd("download:00000010"), data(0x10)}).back(), "R:OKAY");
    EXPECT_EQ(d.answer("reboot"), "OKAY");
    EXPECT_EQ(d.answer("flash:xzkernel"), "FAILno download");
}

TEST(Downloads, AHostLeavingMidwayAbandonsTheDataPhase) {
    CoreDriver d(test_device());
    EXPECT_EQ(d.run({cmd("download:00001000"), data(0x100)}),
              (Said{"A17", "R:DATA00001000", "A256"}));
    d.core().host_left();
    // the next host's transfer is a command again, and nothing half-received can be flashed
    EXPECT_EQ(d.answer("getvar:product"), "OKAYRQ3");
    EXPECT_EQ(d.answer("flash:xzkernel"), "FAILno download");
}

TEST(Downloads, AFailedNewDownloadDropsTheOldOne) {
    CoreDriver d(test_device());
    EXPECT_EQ(d.run({cmd("download:00000010"), data(0x10)}).back(), "R:OKAY");
    EXPECT_EQ(d.run({cmd("download:00000020"), data(0x10)}).back(), "A16");
    d.core().host_left();
    EXPECT_EQ(d.answer("flash:xzkernel"), "FAILno download");
}

// storage keeps a download's whole extents instead of copying them: the next download must go
// elsewhere, and a later write over part of a kept extent must not reach the memory it shares
TEST(Downloads, WhatStorageKeepsIsNeverWrittenAgain) {
    CoreDriver d(test_device());
    const uint32_t size = (2 << 20) + 5;
    auto first = pattern_bytes(size, 1);
    const auto second = pattern_bytes(size, 2);
    const auto patch = pattern_bytes(16, 3);
    ASSERT_EQ(d.flash("a", first), "OKAY");
    ASSERT_EQ(d.flash("b", second), "OKAY");
    ASSERT_EQ(d.flash("a:100008", patch), "OKAY");
    ASSERT_EQ(d.flash("c", first), "OKAY");
    const auto crc = [](const std::vector<uint8_t>& v) {
        return GetBufferCRC(v.data(), static_cast<uint32_t>(v.size()));
    };
    EXPECT_EQ(d.storage().crc("b", 0, size), crc(second));
    EXPECT_EQ(d.storage().crc("c", 0, size), crc(first));
    std::memcpy(first.data() + 0x100008, patch.data(), patch.size());
    EXPECT_EQ(d.storage().crc("a", 0, size), crc(first));
}

TEST(Downloads, DataGoesStraightIntoTheDownload) {
    CoreDriver d(test_device());
    d.send(cmd("download:00000100"));
    auto first = d.core().transfer_buffer(0x80);
    d.core().transfer_done(0x80);
    auto second = d.core().transfer_buffer(0x80);
    // consecutive transfers land next to each other: no staging copy
    EXPECT_EQ(second.data(), first.data() + 0x80);
}

}  // namespace
}  // namespace devsim_test

namespace devsim_test {
namespace {

// A bulk OUT transfer completes when the device has the bytes; a command that takes long
// (a check over a large range) must not hold back the acknowledgement, or the host's write
// times out.
TEST(Acknowledgement, ComesBeforeTheCommandIsCarriedOut) {
    devsim::MemoryStorage storage;
    devsim::Transcript transcript;
    devsim::Bootloader core(test_device(), storage, transcript);
    const std::string text = "getvar:product";
    auto buf = core.transfer_buffer(static_cast<uint32_t>(text.size()));
    std::memcpy(buf.data(), text.data(), text.size());
    core.transfer_done(static_cast<uint32_t>(text.size()));

    auto& out = core.output();
    ASSERT_EQ(out.size(), 2U);
    EXPECT_EQ(out[0].kind, devsim::OutputKind::Ack);
    EXPECT_EQ(out[1].kind, devsim::OutputKind::Work);
    out.clear();
    core.run_pending();
    ASSERT_EQ(out.size(), 1U);
    EXPECT_EQ(out[0].kind, devsim::OutputKind::Status);
    EXPECT_EQ(out[0].packet.substr(0, 4), "OKAY");
}

}  // namespace
}  // namespace devsim_test
