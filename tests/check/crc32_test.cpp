#include "check/crc32.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "check/crc32_impl.h"
#include "console/console.h"
#include "support/temp_dir.h"

namespace {

uint32_t crc_of(const std::string& s) {
    return GetBufferCRC(s.data(), static_cast<uint32_t>(s.size()));
}

}  // namespace

TEST(Crc32, StandardCheckValueAndContinuation) {
    EXPECT_EQ(crc_of("123456789"), 0xCBF43926U);
    uint32_t part = get_crc32(0, "1234", 4);
    EXPECT_EQ(get_crc32(part, "56789", 5), 0xCBF43926U);
    EXPECT_EQ(crc_of(""), 0U);
}

TEST(Crc32, BufferLongerThanOneBlockMatchesOnePass) {
    std::vector<unsigned char> big(16384 * 3 + 17);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<unsigned char>(i * 131 + 7);
    uint32_t one_pass = get_crc32(0, big.data(), static_cast<uint32_t>(big.size()));
    EXPECT_EQ(GetBufferCRC(big.data(), static_cast<uint32_t>(big.size())), one_pass);

    support::TempDir dir;
    std::string data(reinterpret_cast<const char*>(big.data()), big.size());
    std::FILE* f = std::fopen(dir.write("big.bin", data).c_str(), "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(GetFileCRC(f), one_pass);
    std::fclose(f);
}

TEST(Crc32, FileCrcStartsAtCurrentPosition) {
    support::TempDir dir;
    std::FILE* f = std::fopen(dir.write("a.bin", "xx123456789").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::fseek(f, 2, SEEK_SET);
    EXPECT_EQ(GetFileCRC(f), 0xCBF43926U);
    std::fclose(f);
}

// the expected-CRC text is read as strtoul reads base 16
TEST(Crc32, SignatureTextForms) {
    struct Case {
        const char* text;
        uint32_t value;
    } cases[] = {
        {"cbf43926", 0xCBF43926U},
        {"CBF43926", 0xCBF43926U},
        {"   cbf43926", 0xCBF43926U},
        {"0xcbf43926", 0xCBF43926U},
        {"0XCBF43926\n", 0xCBF43926U},
        {"cbf43926 trailing", 0xCBF43926U},
        {"", 0U},
        {"zz", 0U},
        {"0x", 0U},
        {"123456789", 0xFFFFFFFFU},
        {"-1", 0xFFFFFFFFU},
        {"-2", 0xFFFFFFFEU},
        {"+ff", 0xFFU},
        {"- 5", 0U},
        {"--5", 0U},
        {"\t\n7", 7U},
    };
    for (const auto& c : cases) EXPECT_EQ(GetBufferSUM(c.text), c.value) << '"' << c.text << '"';
    EXPECT_EQ(GetBufferSUM(nullptr), 0U);
}

TEST(Crc32, OnlyFirst32BytesOfSignatureFileCount) {
    support::TempDir dir;
    // 31 spaces then "1": the digit is the 32nd byte and counts
    std::string in32(31, ' ');
    in32 += "1";
    // 32 spaces then "1": the digit lies past the 32 bytes read
    std::string past32(32, ' ');
    past32 += "1";
    for (auto [content, value] :
         {std::pair{in32, 1U}, std::pair{past32, 0U}, std::pair{std::string(), 0U}}) {
        std::FILE* f = std::fopen(dir.write("s.sign", content).c_str(), "rb");
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(GetFileSUM(f), value);
        std::fclose(f);
    }
    // 40 hex digits: only 32 are read, and they overflow to the 32-bit maximum
    std::FILE* f = std::fopen(dir.write("s.sign", std::string(40, 'a')).c_str(), "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(GetFileSUM(f), 0xFFFFFFFFU);
    std::fclose(f);
}

TEST(Crc32, CheckFileAgainstSignatureFile) {
    console_set_encoding(ConsoleEncoding::Utf8);
    support::TempDir dir;
    std::string data = dir.write("kernel.bin", "123456789");
    EXPECT_EQ(crc32check(data.c_str(), dir.write("k.sign", "cbf43926\n").c_str()), 1);
    EXPECT_EQ(crc32check(data.c_str(), dir.write("k.sign", "CBF43926").c_str()), 1);
    EXPECT_EQ(crc32check(data.c_str(), dir.write("k.sign", "cbf43927").c_str()), 0);

    // empty data has CRC 0, which an empty signature file and "00000000" both give
    std::string empty = dir.write("empty.bin", "");
    EXPECT_EQ(crc32check(empty.c_str(), dir.write("e.sign", "").c_str()), 1);
    EXPECT_EQ(crc32check(empty.c_str(), dir.write("e.sign", "00000000").c_str()), 1);
    EXPECT_EQ(crc32check(empty.c_str(), dir.write("e.sign", "0").c_str()), 1);
}

TEST(Crc32, MissingFilesAreReportedAndFail) {
    support::TempDir dir;
    std::string data = dir.write("kernel.bin", "123456789");
    testing::internal::CaptureStderr();
    EXPECT_EQ(crc32check(data.c_str(), (dir / "missing.sign").c_str()), 0);
    EXPECT_EQ(crc32check((dir / "missing.bin").c_str(), data.c_str()), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Error: No such file or directory\nError: No such file or directory\n");
}

TEST(Crc32, BufferAgainstText) {
    EXPECT_EQ(crc32buffer("123456789", 9, "cbf43926"), 1);
    EXPECT_EQ(crc32buffer("123456789", 9, "cbf43925"), 0);
    EXPECT_EQ(crc32buffer("", 0, nullptr), 1);
    EXPECT_EQ(crc32buffer("1", 1, nullptr), 0);
}

// every register loop against the byte-at-a-time one: all lengths up to a few folding blocks,
// at every alignment of the start, from a zero and from a running register
TEST(Crc32, EveryLoopEqualsTheByteLoop) {
    std::vector<unsigned char> bytes(600);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 167 + 13);
    struct loop {
        const char* name;
        crc32_impl::register_loop run;
    };
    std::vector<loop> loops = {{"slicing8", crc32_impl::slicing8},
                               {"fastest", crc32_impl::fastest()}};
    if (crc32_impl::clmul() != nullptr) loops.push_back({"clmul", crc32_impl::clmul()});
    for (const loop& l : loops) {
        for (size_t start = 0; start < 8; ++start) {
            for (size_t len = 0; len + start <= 520; ++len) {
                for (uint32_t reg : {0U, 0xFFFFFFFFU, 0x1234ABCDU}) {
                    ASSERT_EQ(l.run(reg, bytes.data() + start, len),
                              crc32_impl::bytewise(reg, bytes.data() + start, len))
                        << l.name << " start " << start << " length " << len << " reg " << reg;
                }
            }
        }
    }
}
