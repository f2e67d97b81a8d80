// Writing partitions at offsets and having the device verify ranges with check:.
#include <gtest/gtest.h>

#include <ostream>

#include "check/crc32.h"
#include "core_driver.h"

namespace devsim_test {
namespace {

uint32_t crc(const std::vector<uint8_t>& v, size_t from = 0, size_t n = SIZE_MAX) {
    n = std::min(n, v.size() - from);
    return GetBufferCRC(v.data() + from, static_cast<uint32_t>(n));
}

std::vector<uint8_t> concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::vector<uint8_t> kKernel = pattern_bytes(0x800, 1);
const std::vector<uint8_t> kPiece0 = pattern_bytes(0x1000, 2);
const std::vector<uint8_t> kPiece1 = pattern_bytes(0x300, 3);
const std::vector<uint8_t> kBlock = pattern_bytes(0x400, 4);

struct CheckCase {
    const char* name;
    std::string check;  // the text after "check:"
    std::string answer;
};

// test listings name a case by its name, not by its bytes
inline void PrintTo(const CheckCase& c, std::ostream* os) {
    *os << c.name;
}

class Checks : public testing::TestWithParam<CheckCase> {};

// The device holds: xzkernel (address 0x141000) written whole; xzsystem written in two pieces,
// the second at offset 0x1000; xzuserpartition (no address of its own) written at 0x1941000.
TEST_P(Checks, AnswerDependsOnAddressAndStoredBytes) {
    auto cfg = test_device();
    cfg.addresses["xzextra"] = 0x500000;
    CoreDriver d(cfg);
    ASSERT_EQ(d.flash("xzkernel", kKernel), "OKAY");
    ASSERT_EQ(d.flash("xzsystem", kPiece0), "OKAY");
    ASSERT_EQ(d.flash("xzsystem:1000", kPiece1), "OKAY");
    ASSERT_EQ(d.flash("xzuserpartition:1941000", kBlock), "OKAY");
    ASSERT_EQ(d.flash("xzextra:10", kBlock), "OKAY");
    EXPECT_EQ(d.answer("check:" + GetParam().check), GetParam().answer);
}

std::string upper(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

const std::string kKernelCrc = hex(crc(kKernel));
const std::string kSystemCrc = hex(crc(concat(kPiece0, kPiece1)));
const std::string kBlockCrc = hex(crc(kBlock));
const std::string kPiece1Crc = hex(crc(kPiece1));

INSTANTIATE_TEST_SUITE_P(
    Ranges, Checks,
    testing::Values(
        CheckCase{"kernel_at_its_address", "xzkernel 141000 800 " + kKernelCrc, "OKAY"},
        CheckCase{"kernel_prefix", "xzkernel 141000 10 " + hex(crc(kKernel, 0, 0x10)), "OKAY"},
        CheckCase{"kernel_at_wrong_address", "xzkernel 0 800 " + kKernelCrc,
                  "FAILaddress mismatch"},
        CheckCase{"kernel_wrong_crc", "xzkernel 141000 800 12345678", "FAILcrc mismatch"},
        CheckCase{"kernel_longer_than_written", "xzkernel 141000 801 " + kKernelCrc,
                  "FAILrange not written"},
        CheckCase{"pieces_checked_as_a_whole", "xzsystem 0 1300 " + kSystemCrc, "OKAY"},
        CheckCase{"second_piece_alone", "xzsystem:1000 1000 300 " + kPiece1Crc, "OKAY"},
        CheckCase{"second_piece_at_partition_start", "xzsystem:1000 0 300 " + kPiece1Crc,
                  "FAILaddress mismatch"},
        CheckCase{"block_at_offset_address", "xzuserpartition:1941000 1941000 400 " + kBlockCrc,
                  "OKAY"},
        CheckCase{"block_before_its_offset", "xzuserpartition 0 400 " + kBlockCrc,
                  "FAILcrc mismatch"},
        CheckCase{"address_set_by_option", "xzextra:10 500010 400 " + kBlockCrc, "OKAY"},
        CheckCase{"never_written", "xzdata 0 10 0", "FAILrange not written"},
        CheckCase{"empty_range_crc_zero", "xzkernel 141000 0 0", "OKAY"},
        // the CRC text is read as a signature text is: case, blanks, 0x and what follows
        CheckCase{"crc_upper_case", "xzkernel 141000 800 " + upper(kKernelCrc), "OKAY"},
        CheckCase{"crc_leading_blanks", "xzkernel 141000 800   " + kKernelCrc, "OKAY"},
        CheckCase{"crc_with_0x", "xzkernel 141000 800 0x" + kKernelCrc, "OKAY"},
        CheckCase{"crc_followed_by_newline", "xzkernel 141000 800 " + kKernelCrc + "\nzz", "OKAY"},
        CheckCase{"crc_cut_short", "xzkernel 141000 800 " + kKernelCrc.substr(0, 4),
                  "FAILcrc mismatch"},
        CheckCase{"missing_crc_field", "xzkernel 141000 800",
                  "FAILexpected PARTITION START LENGTH CRC"},
        CheckCase{"start_not_hex", "xzkernel 0x141000 800 " + kKernelCrc, "FAILbad range"},
        CheckCase{"length_over_32_bits", "xzkernel 141000 100000000 0", "FAILbad range"},
        CheckCase{"bad_partition_name", "../xzkernel 141000 800 0", "FAILbad partition"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Checks, GapBeforeAnOffsetWriteReadsAsZeros) {
    CoreDriver d(test_device());
    ASSERT_EQ(d.flash("xzvar:10", kBlock), "OKAY");
    std::vector<uint8_t> expected(0x10, 0);
    expected = concat(expected, kBlock);
    EXPECT_EQ(d.answer("check:xzvar 0 410 " + hex(crc(expected))), "OKAY");
}

TEST(Checks, OverwriteInTheMiddleKeepsTheRest) {
    CoreDriver d(test_device());
    ASSERT_EQ(d.flash("xzvar", kPiece0), "OKAY");
    ASSERT_EQ(d.flash("xzvar:100", kBlock), "OKAY");
    auto expected = kPiece0;
    std::copy(kBlock.begin(), kBlock.end(), expected.begin() + 0x100);
    EXPECT_EQ(d.answer("check:xzvar 0 1000 " + hex(crc(expected))), "OKAY");
}

}  // namespace
}  // namespace devsim_test
