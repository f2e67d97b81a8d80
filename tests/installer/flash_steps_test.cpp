#include "installer/steps/flash_steps.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "fake_bootloader.h"
#include "installer/steps/file_chunks.h"
#include "support/capture.h"
#include "support/temp_dir.h"

using support::patterned_bytes;
using support::sparse_file;
using support::write_file;

namespace {

constexpr uint64_t MiB = 1024 * 1024;

// the progress bar as the user sees it: 33 columns between the brackets
std::string bar(int hashes, const char* shown) {
    return "\r[" + std::string(static_cast<size_t>(hashes), '#') +
           std::string(static_cast<size_t>(33 - hashes), ' ') + "] " + shown + " ";
}

bool fd_is_open(int fd) {
    return ::fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

}  // namespace

TEST(Percent, ExactBytes) {
    struct row {
        int per;
        std::string out;
    };
    const row rows[] = {
        {0, "\r[                                 ] 00% "},
        {5, "\r[#                                ] 05% "},
        {50, "\r[################                 ] 50% "},
        {98, "\r[################################ ] 98% "},
        {99, "\r[#################################] 99% "},
        {100, "\r[#################################] 100% "},
    };
    for (const row& r : rows) {
        captured c = capture_output([&] { percent(r.per); });
        EXPECT_EQ(c.out, r.out) << r.per;
    }
}

TEST(PieceName, PartitionThenHexOffset) {
    const std::string name57(57, 'n');
    const std::string name47(47, 'n');
    struct row {
        std::string pname;
        uint64_t offset;
        std::optional<std::string> name;  // none: cannot be composed
    };
    const row rows[] = {
        {"xzsystem", 0, "xzsystem"},
        {"xzsystem", 0x2000000, "xzsystem:2000000"},
        {"xzsystem", 0x4000000, "xzsystem:4000000"},
        {"xzsystem", 0xFE000000, "xzsystem:fe000000"},
        // past 4 GiB the offset keeps all its digits
        {"xzsystem", 0x100000000, "xzsystem:100000000"},
        {"xzsystem", 0x102000000, "xzsystem:102000000"},
        // "flash:" and the name must fit a 63-character command
        {name57, 0, name57},
        {name57 + "n", 0, std::nullopt},
        {name47, 0x100000000, name47 + ":100000000"},
        {name47 + "n", 0x100000000, std::nullopt},
    };
    for (const row& r : rows) {
        char out[128] = {};
        bool ok = piece_name(out, sizeof out, r.pname.c_str(), r.offset);
        EXPECT_EQ(ok, r.name.has_value()) << r.pname << " @" << r.offset;
        if (ok && r.name) {
            EXPECT_EQ(std::string(out), *r.name);
        }
    }
    char small[8];
    EXPECT_FALSE(piece_name(small, sizeof small, "xzsystem", 0));
}

TEST(LoadFile, WholeFileOrNothing) {
    support::ScratchDir dir;
    const std::string bytes = patterned_bytes(70001);
    write_file("image.bin", bytes);
    write_file("empty.bin", "");

    uint64_t size = 0;
    file_buffer data = load_file("image.bin", &size);
    ASSERT_TRUE(data);
    EXPECT_EQ(size, bytes.size());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.get()), size), bytes);

    // an empty file is an empty image, not a failure
    size = 99;
    EXPECT_TRUE(load_file("empty.bin", &size));
    EXPECT_EQ(size, 0u);

    size = 99;
    EXPECT_FALSE(load_file("missing.bin", &size));
    EXPECT_EQ(size, 99u);
    ASSERT_EQ(::mkdir("folder.bin", 0755), 0);
    EXPECT_FALSE(load_file("folder.bin", &size));
}

TEST(LoadFile, LoadFdClosesTheDescriptorEveryTime) {
    support::ScratchDir dir;
    write_file("image.bin", "abc");
    ASSERT_EQ(::mkdir("folder", 0755), 0);

    int fd = ::open("image.bin", O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(file_size(fd), 3);
    EXPECT_TRUE(load_fd(fd, nullptr));
    EXPECT_FALSE(fd_is_open(fd));

    // a directory opens but cannot be read: the load fails and still closes it
    fd = ::open("folder", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(load_fd(fd, nullptr));
    EXPECT_FALSE(fd_is_open(fd));

    EXPECT_EQ(file_size(-1), -1);
}

class FlashSteps : public testing::Test {
  protected:
    support::ScratchDir dir;
    fake_bootloader device;
    fake_bootloader_guard guard{device};
};

TEST_F(FlashSteps, PiecesAcross32MiBBoundaries) {
    device.keep_data = false;
    struct row {
        uint64_t size;
        std::vector<std::string> commands;
        std::string out;
    };
    const row rows[] = {
        {32 * MiB, {"download:02000000", "flash:xzsystem"}, bar(33, "100%") + "\n"},
        {32 * MiB + 1,
         {"download:02000000", "flash:xzsystem", "download:00000001", "flash:xzsystem:2000000"},
         bar(33, "99%") + bar(33, "100%") + "\n"},
        {80 * MiB,
         {"download:02000000", "flash:xzsystem", "download:02000000", "flash:xzsystem:2000000",
          "download:01000000", "flash:xzsystem:4000000"},
         bar(13, "40%") + bar(26, "80%") + bar(33, "100%") + "\n"},
    };
    for (const row& r : rows) {
        sparse_file("system.bin", r.size);
        device.commands.clear();
        int result = -1;
        captured c = capture_output(
            [&] { result = flash_file(guard.device, "xzsystem", "system.bin", split); });
        EXPECT_EQ(result, 0) << r.size;
        EXPECT_EQ(device.commands, r.commands) << r.size;
        EXPECT_EQ(c.out, r.out) << r.size;
        EXPECT_EQ(c.err, "");
    }
}

TEST_F(FlashSteps, EveryByteArrivesInItsPiece) {
    const std::string bytes = patterned_bytes(10000);
    write_file("var.bin", bytes);
    int result = -1;
    captured c =
        capture_output([&] { result = flash_file(guard.device, "xzvar", "var.bin", 4096); });
    EXPECT_EQ(result, 0);
    ASSERT_EQ(device.flashed.size(), 3u);
    EXPECT_EQ(device.flashed["xzvar"], bytes.substr(0, 4096));
    EXPECT_EQ(device.flashed["xzvar:1000"], bytes.substr(4096, 4096));
    EXPECT_EQ(device.flashed["xzvar:2000"], bytes.substr(8192));
    // 40.96% and 81.92% are shown truncated
    EXPECT_EQ(c.out, bar(13, "40%") + bar(27, "81%") + bar(33, "100%") + "\n");
}

TEST_F(FlashSteps, PieceSizeLimits) {
    write_file("small.bin", "12345");
    struct row {
        const char* pname;
        const char* file;
        uint32_t split;
        int result;
        std::string out;
    };
    const row rows[] = {
        {"p", "small.bin", 134217728, 0, bar(33, "100%") + "\n"},
        {"p", "small.bin", 134217729, -1, "flash_file err1\n"},
        {"p", "small.bin", 0, -1, "flash_file err1\n"},
        {nullptr, "small.bin", split, -1, "flash_file err1\n"},
    };
    for (const row& r : rows) {
        device.commands.clear();
        int result = 0;
        captured c =
            capture_output([&] { result = flash_file(guard.device, r.pname, r.file, r.split); });
        EXPECT_EQ(result, r.result) << r.split;
        EXPECT_EQ(c.out, r.out) << r.split;
        EXPECT_EQ(device.commands.empty(), r.result != 0) << r.split;
    }
}

TEST_F(FlashSteps, HostSideFailuresSendNothingMore) {
    write_file("empty.bin", "");
    write_file("data.bin", std::string(6000, 'd'));
    ASSERT_EQ(::mkdir("folder.bin", 0755), 0);
    const std::string name57(57, 'p');
    const std::string name53(53, 'q');
    struct row {
        std::string pname;
        const char* file;
        uint32_t split;
        std::string out;
        size_t commands;  // commands the device saw
    };
    const row rows[] = {
        {"p", "missing.bin", split, "flash_file err2\n", 0},
        {"p", nullptr, split, "flash_file err2\n", 0},
        {"p", "folder.bin", split, "flash_file err2\n", 0},
        {"p", "empty.bin", split, "flash_file err3\n\n", 0},
        // the name must fit the device's command: the first piece's name is the partition's,
        // the second's has ":1000" added
        {name57 + "p", "data.bin", split, "flash_file err7\n\n", 0},
        {name53, "data.bin", 4096, bar(22, "68%") + "flash_file err7\n\n", 2},
    };
    for (const row& r : rows) {
        device.commands.clear();
        int result = 0;
        captured c = capture_output(
            [&] { result = flash_file(guard.device, r.pname.c_str(), r.file, r.split); });
        EXPECT_EQ(result, -1) << r.out;
        EXPECT_EQ(c.out, r.out);
        EXPECT_EQ(device.commands.size(), r.commands) << r.out;
    }
}

// The file changes size while it is sent. Less than was announced is a failure (the piece road's
// short read; a whole file's download fails naming the file), never a success; what the file
// gains is not sent.
TEST_F(FlashSteps, FileChangingSizeUnderway) {
    const size_t whole = file_chunks::kChunk + 5000;  // two chunks of a whole-file download
    const std::string whole_hex = "download:00401388";
    struct row {
        bool pieces;  // flash_file in 4096-byte pieces, else flash_one
        size_t size;
        const char* when;  // the command at which the file changes
        off_t becomes;
        int result;
        std::string out;
        std::string err;
        std::vector<std::string> commands;
    };
    const row rows[] = {
        {true,
         10000,
         "flash:xzdata",
         5000,
         -1,
         bar(13, "40%") + "flash_file err6:904,4096\n\n",
         "",
         {"download:00001000", "flash:xzdata"}},
        {true,
         10000,
         "flash:xzdata",
         20000,
         0,
         bar(13, "40%") + bar(27, "81%") + bar(33, "100%") + "\n",
         "",
         {"download:00001000", "flash:xzdata", "download:00001000", "flash:xzdata:1000",
          "download:00000710", "flash:xzdata:2000"}},
        {false,
         whole,
         whole_hex.c_str(),
         static_cast<off_t>(file_chunks::kChunk + 100),
         -1,
         "\n###Downloading:xzdata\n" + bar(0, "00%") + bar(33, "100%"),
         "FAILED (data.bin: file ended at byte 4194404 of 4199304)\n",
         {whole_hex}},
        {false,
         whole,
         whole_hex.c_str(),
         static_cast<off_t>(whole + 5000),
         1,
         "\n###Downloading:xzdata\n" + bar(0, "00%") + bar(33, "100%"),
         "",
         {whole_hex, "flash:xzdata"}},
    };
    for (const row& r : rows) {
        const std::string bytes = patterned_bytes(r.size);
        write_file("data.bin", bytes);
        device.commands.clear();
        device.flashed.clear();
        device.on_command = [&](const std::string& command) {
            if (command == r.when) {
                ASSERT_EQ(::truncate("data.bin", r.becomes), 0);
            }
        };
        int result = 0;
        captured c = capture_output([&] {
            result = r.pieces ? flash_file(guard.device, "xzdata", "data.bin", 4096)
                              : flash_one(guard.device, "xzdata", "data.bin");
        });
        const std::string what =
            (r.pieces ? "pieces to " : "whole to ") + std::to_string(r.becomes);
        EXPECT_EQ(result, r.result) << what;
        EXPECT_EQ(c.out, r.out) << what;
        EXPECT_EQ(c.err, r.err) << what;
        EXPECT_EQ(device.commands, r.commands) << what;
        if (r.result >= 0) {
            std::string sent;
            for (const auto& [name, piece] : device.flashed) sent += piece;
            EXPECT_EQ(sent, bytes) << what;
        }
    }
}

TEST_F(FlashSteps, RefusedPieceStopsTheFile) {
    write_file("system.bin", patterned_bytes(10000));
    struct row {
        const char* refused;
        std::vector<std::string> commands;
        std::string out;
    };
    const row rows[] = {
        {"flash:xzsystem:1000",
         {"download:00001000", "flash:xzsystem", "download:00001000", "flash:xzsystem:1000"},
         bar(13, "40%") + "\n"},
        {"flash:xzsystem", {"download:00001000", "flash:xzsystem"}, "\n"},
        {"download:00000710",
         {"download:00001000", "flash:xzsystem", "download:00001000", "flash:xzsystem:1000",
          "download:00000710"},
         bar(13, "40%") + bar(27, "81%") + "\n"},
    };
    for (const row& r : rows) {
        device.commands.clear();
        device.answer = [&](const std::string& command) {
            return command == r.refused ? std::string("FAILno space") : std::string("OKAY");
        };
        int result = 0;
        captured c = capture_output(
            [&] { result = flash_file(guard.device, "xzsystem", "system.bin", 4096); });
        EXPECT_EQ(result, -1) << r.refused;
        EXPECT_EQ(device.commands, r.commands) << r.refused;
        EXPECT_EQ(c.out, r.out) << r.refused;
        EXPECT_EQ(c.err, "FAILED (remote: no space)\n") << r.refused;
    }
}

namespace {

// Limits this process's address space to what it uses now and `extra` bytes more.
void limit_address_space(uint64_t extra) {
    std::ifstream status("/proc/self/status");
    std::string key;
    unsigned long kib = 0;
    while (status >> key) {
        if (key == "VmSize:") {
            status >> kib;
            break;
        }
    }
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = kib * 1024 + extra;
    ::setrlimit(RLIMIT_AS, &limit);
}

}  // namespace

class FlashFileMemory : public FlashSteps {};

TEST_F(FlashFileMemory, PieceBufferAllocationFailure) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "address-space limits do not mix with the address sanitizer";
#endif
    write_file("data.bin", "abc");
    // in a child whose address space cannot take another 128 MiB
    EXPECT_EXIT(
        {
            ::dup2(2, 1);  // the message goes where the death test looks
            limit_address_space(64 * MiB);
            int result = flash_file(guard.device, "xzdata", "data.bin", 134217728);
            std::fflush(stdout);
            std::_Exit(result == -1 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "flash_file err5\n\n");
}

TEST_F(FlashFileMemory, FlashOneOfAFileLargerThanMemoryIsStreamed) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "address-space limits do not mix with the address sanitizer";
#endif
    sparse_file("system.bin", 256 * MiB);
    device.keep_data = false;
    const std::vector<std::string> expected = {"download:10000000", "flash:system"};
    // in a child whose address space cannot take the whole file, the whole file is sent
    EXPECT_EXIT(
        {
            ::dup2(2, 1);
            limit_address_space(64 * MiB);
            int result = flash_one(guard.device, "system", "system.bin");
            std::fflush(stdout);
            std::_Exit(result == 1 && device.commands == expected ? 0 : 1);
        },
        testing::ExitedWithCode(0), "###Downloading:system");
}

// one download of the whole file, whose chunks are read one ahead on a second thread into two
// buffers taken in turn: one chunk, and four (each buffer filled twice)
TEST_F(FlashSteps, FlashOneWritesTheWholeFile) {
    for (const size_t size : {size_t{5000}, 3 * file_chunks::kChunk + 7}) {
        const std::string bytes = patterned_bytes(size);
        write_file("boot.img", bytes);
        device.commands.clear();
        int result = 0;
        captured c = capture_output([&] { result = flash_one(guard.device, "boot", "boot.img"); });
        EXPECT_EQ(result, 1);
        EXPECT_EQ(c.out, "\n###Downloading:boot\n" + bar(0, "00%") + bar(33, "100%"));
        char download[32];
        std::snprintf(download, sizeof download, "download:%08zx", size);
        EXPECT_EQ(device.commands, (std::vector<std::string>{download, "flash:boot"}));
        EXPECT_TRUE(device.flashed["boot"] == bytes) << size;
    }
}

TEST_F(FlashSteps, FlashOneRefusedIsAFailure) {
    write_file("boot.img", "image");
    device.answer = [](const std::string& command) {
        return command == "flash:boot" ? std::string("FAILlocked") : std::string("OKAY");
    };
    int result = 0;
    captured c = capture_output([&] { result = flash_one(guard.device, "boot", "boot.img"); });
    EXPECT_EQ(result, -1);
    // the bar still reaches its end before the caller stops
    EXPECT_EQ(c.out, "\n###Downloading:boot\n" + bar(0, "00%") + bar(33, "100%"));
    EXPECT_EQ(device.commands, (std::vector<std::string>{"download:00000005", "flash:boot"}));
    EXPECT_EQ(c.err, "FAILED (remote: locked)\n");
    EXPECT_TRUE(device.flashed.empty());
}

TEST_F(FlashSteps, FlashOneSendsNothingForAFileItCannotSend) {
    ASSERT_EQ(::mkdir("folder.img", 0755), 0);
    ASSERT_EQ(::mkfifo("pipe.img", 0644), 0);
    ASSERT_EQ(::symlink("nowhere.img", "dangling.img"), 0);
    sparse_file("huge.img", 2147483648ULL);  // one byte more than one download can carry
    write_file("empty.img", "");
    struct row {
        const char* pname;
        const char* file;
        int result;  // 0: not there (or empty), skipped; -1: there, but it cannot be sent
    };
    std::vector<row> rows = {{"boot", "missing.img", 0}, {nullptr, "x", 0},
                             {"boot", nullptr, 0},       {"boot", "folder.img", -1},
                             {"boot", "pipe.img", -1},   {"boot", "dangling.img", -1},
                             {"boot", "huge.img", -1},   {"boot", "empty.img", 0}};
    // a file that says it holds more than it does: the load is a short read
    if (::symlink("/sys/kernel/profiling", "short.img") == 0 && ::access("short.img", R_OK) == 0) {
        rows.push_back({"boot", "short.img", -1});
    }
    for (const row& r : rows) {
        int result = 1;
        captured c = capture_output([&] { result = flash_one(guard.device, r.pname, r.file); });
        EXPECT_EQ(result, r.result) << (r.file ? r.file : "(null)");
        EXPECT_EQ(c.out, "");
        EXPECT_EQ(c.err, "");
    }
    // the device was not even looked for
    EXPECT_EQ(device.enumerations(), 0);
}

TEST_F(FlashSteps, FlashBufferReportsTheDevice) {
    const std::string image = patterned_bytes(1024);
    captured ok = capture_output(
        [&] { EXPECT_EQ(flash_buffer(guard.device, image.data(), 1024, "xzmbr"), 0); });
    EXPECT_EQ(device.flashed["xzmbr"], image);
    EXPECT_EQ(ok.out, "");
    EXPECT_EQ(ok.err, "");

    device.answer = [](const std::string& command) {
        return command == "flash:xembr" ? std::string("FAIL") : std::string("OKAY");
    };
    captured refused = capture_output(
        [&] { EXPECT_NE(flash_buffer(guard.device, image.data(), 1024, "xembr"), 0); });
    EXPECT_EQ(refused.err, "FAILED (remote failure)\n");
    EXPECT_EQ(device.flashed.count("xembr"), 0u);
}

TEST_F(FlashSteps, CheckTextComposition) {
    struct row {
        std::optional<std::string> sign;     // kernel.sign's contents; none: no file
        std::optional<std::string> command;  // none: the device is not asked
    };
    const row rows[] = {
        {"89abcdef\n", "check:xzkernel 141000 800 89abcdef"},
        {"89abcdef", "check:xzkernel 141000 800 89abcdef"},
        // the value the host checks, however the signature writes it
        {"  0X89ABCDEF\r\n", "check:xzkernel 141000 800 89abcdef"},
        {"0123456789abcdef", "check:xzkernel 141000 800 ffffffff"},
        {"abc", "check:xzkernel 141000 800 00000abc"},
        {"garbage", "check:xzkernel 141000 800 00000000"},
        {"", std::nullopt},
        {std::nullopt, std::nullopt},
    };
    for (const row& r : rows) {
        ::unlink("kernel.sign");
        if (r.sign) write_file("kernel.sign", *r.sign);
        device.commands.clear();
        int result = -1;
        captured c = capture_output(
            [&] { result = do_check(guard.device, "xzkernel", "kernel.sign", 0x141000, 0x800); });
        EXPECT_EQ(result, 0);
        if (r.command) {
            EXPECT_EQ(device.commands, std::vector<std::string>{*r.command});
        } else {
            EXPECT_TRUE(device.commands.empty());
        }
        EXPECT_EQ(c.out, "");
    }
    EXPECT_EQ(device.enumerations(), 1);

    // a range beyond 4 GiB is sent in full
    device.commands.clear();
    EXPECT_EQ(do_check_buf(guard.device, "xzdata", "deadbeef", 0x100000000, 0x180000000), 0);
    EXPECT_EQ(device.commands,
              std::vector<std::string>{"check:xzdata 100000000 180000000 deadbeef"});
}

TEST_F(FlashSteps, CheckFailureIsMinusOne) {
    write_file("vemkit.sign", "0badc0de");
    device.answer = [](const std::string&) { return std::string("FAILcrc mismatch"); };
    int result = 0;
    captured c = capture_output(
        [&] { result = do_check(guard.device, "xevemkit", "vemkit.sign", 0x66400000, 16); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(c.err, "FAILED (remote: crc mismatch)\n");
    EXPECT_EQ(device.commands, std::vector<std::string>{"check:xevemkit 66400000 10 0badc0de"});

    c = capture_output([&] { result = do_check_buf(guard.device, "xzprod", "12345678", 0, 4); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(c.err, "FAILED (remote: crc mismatch)\n");
}
