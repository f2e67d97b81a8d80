// Partition storage (memory and directory alike) and the transcript's JSON lines.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <sstream>

#include "check/crc32.h"
#include "devsim/digest_storage.h"
#include "devsim/storage.h"
#include "devsim/transcript.h"
#include "support/temp_dir.h"

namespace devsim_test {
namespace {

namespace fs = std::filesystem;

std::span<const uint8_t> bytes(std::string_view s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

uint32_t crc(std::string_view s) {
    return GetBufferCRC(s.data(), static_cast<uint32_t>(s.size()));
}

enum class Kind { Memory, Directory };
inline void PrintTo(Kind k, std::ostream* os) {
    *os << (k == Kind::Memory ? "Memory" : "Directory");
}

class Storages : public testing::TestWithParam<Kind> {
  protected:
    void SetUp() override {
        if (GetParam() == Kind::Memory) {
            storage_ = std::make_unique<devsim::MemoryStorage>();
        } else {
            storage_ = std::make_unique<devsim::DirStorage>(dir_.path() / "dev0");
        }
    }
    support::TempDir dir_;
    std::unique_ptr<devsim::Storage> storage_;
};

TEST_P(Storages, OffsetWritesGapsAndRanges) {
    auto& s = *storage_;
    EXPECT_EQ(s.size("p"), 0u);
    EXPECT_FALSE(s.crc("p", 0, 0));
    ASSERT_TRUE(s.write("p", 4, bytes("world")));
    ASSERT_TRUE(s.write("p", 0, bytes("helo")));
    EXPECT_EQ(s.size("p"), 9u);
    EXPECT_EQ(s.crc("p", 0, 9), crc("heloworld"));
    EXPECT_EQ(s.crc("p", 4, 5), crc("world"));
    EXPECT_EQ(s.crc("p", 9, 0), crc(""));
    EXPECT_FALSE(s.crc("p", 5, 5));   // runs past the end
    EXPECT_FALSE(s.crc("p", 10, 0));  // starts past the end
    // a write past the end leaves zeros in between
    ASSERT_TRUE(s.write("p", 12, bytes("!")));
    EXPECT_EQ(s.crc("p", 0, 13), crc(std::string("heloworld\0\0\0!", 13)));
    // partitions are separate
    EXPECT_FALSE(s.crc("q", 0, 1));
}

TEST_P(Storages, RangesLongerThanOneBlock) {
    std::string big(3 << 20, 'x');
    for (size_t i = 0; i < big.size(); i += 4097) big[i] = static_cast<char>(i);
    ASSERT_TRUE(storage_->write("big", 0, bytes(big)));
    EXPECT_EQ(storage_->crc("big", 0, big.size()), crc(big));
    EXPECT_EQ(storage_->crc("big", 12345, 2 << 20),
              crc(std::string_view(big).substr(12345, 2 << 20)));
}

// zeros are stored as nothing but still read back as zeros, over old bytes too; offsets pass 4 GiB
TEST_P(Storages, ZerosAndOffsetsPastFourGiB) {
    auto& s = *storage_;
    const uint64_t far = (5ULL << 30) + 3;
    const std::string zeros(3 << 20, '\0');
    ASSERT_TRUE(s.write("p", far, bytes("tail")));
    EXPECT_EQ(s.size("p"), far + 4);
    EXPECT_EQ(s.crc("p", far - 2, 6), crc(std::string("\0\0tail", 6)));
    std::string mixed(3 << 20, 'm');
    ASSERT_TRUE(s.write("p", 7, bytes(mixed)));
    ASSERT_TRUE(s.write("p", 1 << 20, bytes(zeros)));
    mixed.replace((1 << 20) - 7, mixed.size() - ((1 << 20) - 7), mixed.size() - ((1 << 20) - 7),
                  '\0');
    EXPECT_EQ(s.crc("p", 7, mixed.size()), crc(mixed));
    EXPECT_EQ(s.crc("p", far, 4), crc("tail"));
    EXPECT_EQ(s.size("p"), far + 4);
}

INSTANTIATE_TEST_SUITE_P(Both, Storages, testing::Values(Kind::Memory, Kind::Directory),
                         [](const auto& info) {
                             return info.param == Kind::Memory ? "Memory" : "Directory";
                         });

TEST(DirStorage, EachPartitionIsAFileOfItsBytes) {
    support::TempDir dir;
    devsim::DirStorage s(dir.path() / "dev0");
    ASSERT_TRUE(s.write("xzkernel", 0, bytes("kernel")));
    ASSERT_TRUE(s.write("xzkernel", 6, bytes("+more")));
    EXPECT_EQ(support::read_file(dir.path() / "dev0" / "xzkernel"), "kernel+more");
}

TEST(DirStorage, WhatIsThereAtStartCountsAsStored) {
    support::TempDir dir;
    fs::create_directories(dir.path() / "dev0");
    std::ofstream(dir.path() / "dev0" / "xzprod", std::ios::binary) << "loader";
    devsim::DirStorage s(dir.path() / "dev0");
    EXPECT_EQ(s.crc("xzprod", 0, 6), crc("loader"));
}

TEST(DirStorage, VariablesReplacedWholeInADotFile) {
    support::TempDir dir;
    devsim::DirStorage s(dir.path() / "dev0");
    s.keep_vars({{"systype", "dual"}, {"verflag", "Z07"}});
    s.keep_vars({{"systype", "tess"}});
    EXPECT_EQ(support::read_file(dir.path() / "dev0" / ".vars"), "systype=tess\n");
    EXPECT_FALSE(devsim::partition_name_ok(".vars"));
}

// The twin's storage keeps only sizes and CRCs: a check over whole writes that follow each other
// gives what the bytes would, and one that ends inside a write, or crosses a write cut into by a
// later one, cannot be answered.
TEST(DigestStorage, ChecksOverWholeWritesAsTheBytesWouldGiveThem) {
    std::string a(3000, '\0');
    std::string b(70000, '\0');
    for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<char>(i * 7 + 1);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<char>(i * 13 + 5);
    devsim::DigestStorage d;
    ASSERT_TRUE(d.write("p", 0, bytes(a)));
    ASSERT_TRUE(d.write_digest("p", a.size(), b.size(), crc(b)));
    EXPECT_EQ(d.crc("p", 0, a.size() + b.size()), crc(a + b));
    EXPECT_EQ(d.crc("p", a.size(), b.size()), crc(b));
    EXPECT_EQ(d.size("p"), a.size() + b.size());
    EXPECT_FALSE(d.crc("p", 0, 1000));
    EXPECT_FALSE(d.crc("q", 0, 1));
    ASSERT_TRUE(d.write("p", 1000, bytes("xy")));
    EXPECT_FALSE(d.crc("p", 0, a.size() + b.size()));
    EXPECT_EQ(d.crc("p", 1000, 2), crc("xy"));
    EXPECT_EQ(d.writes().size(), 3u);
}

TEST(PartitionNames, OnlyPlainFileNames) {
    for (const char* ok : {"xzkernel", "xloader0_belto", "a-b.c", "X9"}) {
        EXPECT_TRUE(devsim::partition_name_ok(ok)) << ok;
    }
    for (const char* bad : {"", ".", "..", ".hidden", "a/b", "../x", "a b", "a\\b", "a:b"}) {
        EXPECT_FALSE(devsim::partition_name_ok(bad)) << bad;
    }
    EXPECT_TRUE(devsim::partition_name_ok(std::string(64, 'a')));
    EXPECT_FALSE(devsim::partition_name_ok(std::string(65, 'a')));
}

TEST(Transcript, JsonStringEscapes) {
    const std::pair<std::string, std::string> table[] = {
        {"OKAYRQ3", R"("OKAYRQ3")"},         {"say \"hi\"", R"("say \"hi\"")"},
        {"back\\slash", R"("back\\slash")"}, {std::string("a\0b", 3), R"("a\u0000b")"},
        {"line\n", R"("line\u000a")"},       {"\x7f\x80\xff", R"("\u007f\u0080\u00ff")"},
    };
    for (const auto& [in, out] : table) EXPECT_EQ(devsim::json_string(in), out);
}

TEST(Transcript, OneLinePerEventFlushedAsWritten) {
    support::TempDir dir;
    auto path = dir.path() / "t.jsonl";
    devsim::Transcript t;
    ASSERT_TRUE(t.open(path.string()));
    t.command("dev0", "getvar:product");
    t.answer("dev0", "OKAYRQ3");
    t.data("dev0", 4096);
    t.reboot("dev0");
    t.gone("dev0", "vanish:command");
    t.back("dev0");
    // readable while still open
    EXPECT_EQ(support::read_file(path),
              "{\"dev\":\"dev0\",\"ev\":\"command\",\"text\":\"getvar:product\"}\n"
              "{\"dev\":\"dev0\",\"ev\":\"answer\",\"text\":\"OKAYRQ3\"}\n"
              "{\"dev\":\"dev0\",\"ev\":\"data\",\"bytes\":4096}\n"
              "{\"dev\":\"dev0\",\"ev\":\"reboot\"}\n"
              "{\"dev\":\"dev0\",\"ev\":\"gone\",\"why\":\"vanish:command\"}\n"
              "{\"dev\":\"dev0\",\"ev\":\"back\"}\n");
}

TEST(Transcript, WithoutAFileWritesNothing) {
    devsim::Transcript t;
    EXPECT_FALSE(t.active());
    t.command("dev0", "reboot");  // must not crash
}

}  // namespace
}  // namespace devsim_test
