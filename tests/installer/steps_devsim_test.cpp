// The flash and verify steps against the simulated device program, over the real USB layer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "installer/steps/device.h"
#include "installer/steps/flash_steps.h"
#include "support/capture.h"
#include "support/temp_dir.h"
#include "usb_devsim.h"

namespace {

using support::patterned_bytes;
using support::write_file;

// Bytes that differ between two files over the data extents of the first (SEEK_DATA): a sparse
// file of many GiB is compared without reading its holes.
uint64_t differing_data_bytes(const std::string& first, const std::string& second) {
    base::unique_fd a(::open(first.c_str(), O_RDONLY));
    base::unique_fd b(::open(second.c_str(), O_RDONLY));
    if (!a || !b) return UINT64_MAX;
    uint64_t differing = 0;
    std::vector<char> x(1 << 20);
    std::vector<char> y(1 << 20);
    off_t pos = 0;
    for (;;) {
        off_t data = ::lseek(a.get(), pos, SEEK_DATA);
        if (data < 0) break;  // no data after pos
        off_t hole = ::lseek(a.get(), data, SEEK_HOLE);
        for (pos = data; pos < hole;) {
            auto n = static_cast<size_t>(std::min<off_t>(hole - pos, static_cast<off_t>(x.size())));
            if (::pread(a.get(), x.data(), n, pos) != static_cast<ssize_t>(n) ||
                ::pread(b.get(), y.data(), n, pos) != static_cast<ssize_t>(n)) {
                return UINT64_MAX;
            }
            for (size_t i = 0; i < n; ++i) differing += x[i] != y[i] ? 1 : 0;
            pos += static_cast<off_t>(n);
        }
    }
    return differing;
}

// Writes `size` patterned bytes to `name`; the bytes.
std::string patterned_file(const std::string& name, size_t size) {
    std::string bytes = patterned_bytes(size);
    write_file(name, bytes);
    return bytes;
}

// flash_file on the simulated device: its result, and what it said.
struct Flashed {
    int result;
    captured said;
};
Flashed flash(usb_devsim& devsim, const char* partition, const char* file, uint32_t piece) {
    int result = -1;
    captured said =
        capture_output([&] { result = flash_file(devsim.device, partition, file, piece); });
    return {result, said};
}

// A file of `size` patterned bytes written in pieces of 4096 bytes to "dev0", a device given
// `fault`: the device, the file's bytes and how the write ended.
struct FaultedWrite {
    FaultedWrite(const std::string& fault, const char* partition, const char* file, size_t size)
        : devsim({"--device", "dev0", "--fault", fault}),
          bytes(patterned_file(file, size)),
          ended(flash(devsim, partition, file, 4096)) {}

    usb_devsim devsim;
    support::ScratchDir dir;  // the file's, entered before it is written
    std::string bytes;
    Flashed ended;
};

}  // namespace

TEST(StepsOnDevsim, KernelWrittenInPiecesAndCheckedOnTheDevice) {
    usb_devsim devsim({"--device", "dev0", "--serial", "13G0001"});
    support::ScratchDir dir;
    const std::string kernel = patterned_file("kernel.bin", 300000);
    write_file("kernel.sign", crc_text(kernel) + "\n");
    write_file("wrong.sign", "00000000\n");

    captured c = capture_output([&] {
        EXPECT_EQ(flash_file(devsim.device, "xzkernel", "kernel.bin", 65536), 0);
        // the kernel partition lives at 0x141000 on the device
        EXPECT_EQ(do_check(devsim.device, "xzkernel", "kernel.sign", 0x141000, kernel.size()), 0);
        EXPECT_EQ(do_check(devsim.device, "xzkernel", "wrong.sign", 0x141000, kernel.size()), -1);
        EXPECT_EQ(do_check(devsim.device, "xzkernel", "kernel.sign", 0x142000, kernel.size()), -1);
    });
    EXPECT_EQ(devsim.partition("dev0", "xzkernel"), kernel);
    // the two refused checks, and nothing else (the device's own words are its business)
    std::istringstream lines(c.err);
    std::string line;
    int refused = 0;
    while (std::getline(lines, line)) {
        EXPECT_EQ(line.rfind("FAILED (remote", 0), 0u) << line;
        ++refused;
    }
    EXPECT_EQ(refused, 2) << c.err;
}

TEST(StepsOnDevsim, RefusedPieceLeavesTheRestUnsent) {
    const FaultedWrite w("flash:xzsystem:1000=fail:bad block", "xzsystem", "system.bin", 10000);
    EXPECT_EQ(w.ended.result, -1);
    EXPECT_EQ(w.ended.said.err, "FAILED (remote: bad block)\n");
    // only the first piece reached the partition
    EXPECT_EQ(w.devsim.partition("dev0", "xzsystem"), w.bytes.substr(0, 4096));
}

TEST(StepsOnDevsim, LinkLostMidWriteThenTheDeviceIsFoundAgain) {
    // the device goes away before answering the first piece's flash command
    FaultedWrite w("flash:xzvar#1=vanish:command", "xzvar", "var.bin", 9000);
    usb_devsim& devsim = w.devsim;
    const std::string& var = w.bytes;
    EXPECT_EQ(w.ended.result, -1);
    // the command's write or the status read fails, depending on when the link drops
    EXPECT_EQ(w.ended.said.err.rfind("FAILED (", 0), 0u) << w.ended.said.err;
    // the transport closed the handle; the device handle forgot it
    EXPECT_EQ(devsim.device.handle, nullptr);
    EXPECT_EQ(close_device(devsim.device), 0);

    // the next write opens the device afresh and goes through
    const Flashed again = flash(devsim, "xzvar", "var.bin", 4096);
    EXPECT_EQ(again.result, 0);
    EXPECT_EQ(again.said.err, "");
    EXPECT_NE(devsim.device.handle, nullptr);
    EXPECT_EQ(devsim.partition("dev0", "xzvar"), var);

    std::string crc = crc_text(var);
    EXPECT_EQ(do_check_buf(devsim.device, "xzvar", crc.c_str(), 0, var.size()), 0);
}

// A file larger than 4 GiB on the piece road: the last pieces' names carry offsets of nine hex
// digits, and every byte reaches its place (a sparse file, stored sparse by the device)
TEST(StepsOnDevsim, PiecesPastFourGiB) {
    usb_devsim devsim({"--device", "dev0"});
    support::ScratchDir dir;
    const uint64_t size = (4ULL << 30) + (4 << 20) + 5;
    support::sparse_file("big.bin", size);
    const std::string mark = patterned_bytes(8192);
    const uint64_t marks[] = {0, (4ULL << 30) - 4096, size - mark.size()};
    {
        base::unique_fd fd(::open("big.bin", O_WRONLY));
        for (uint64_t at : marks) {
            ASSERT_EQ(::pwrite(fd.get(), mark.data(), mark.size(), static_cast<off_t>(at)),
                      static_cast<ssize_t>(mark.size()));
        }
    }
    const Flashed big = flash(devsim, "xzbig", "big.bin", split);
    EXPECT_EQ(big.result, 0) << big.said.err;
    EXPECT_EQ(big.said.err, "");
    const std::vector<std::string> commands = devsim.commands();
    ASSERT_GE(commands.size(), 2u);
    EXPECT_EQ(commands[commands.size() - 1], "flash:xzbig:100000000");

    // the device holds the file's bytes: wherever either file has data (its holes read as zeros)
    const std::string held = devsim.partition_file("dev0", "xzbig").string();
    EXPECT_EQ(std::filesystem::file_size(held), size);
    EXPECT_EQ(differing_data_bytes("big.bin", held), 0u);
    EXPECT_EQ(differing_data_bytes(held, "big.bin"), 0u);
}
