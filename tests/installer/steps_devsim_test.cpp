// The flash and verify steps against the simulated device program, over the real USB layer.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "installer/device.h"
#include "installer/flash_steps.h"
#include "support/capture.h"
#include "support/temp_dir.h"
#include "usb_devsim.h"

namespace {

using support::patterned_bytes;
using support::write_file;

}  // namespace

TEST(StepsOnDevsim, KernelWrittenInPiecesAndCheckedOnTheDevice) {
    usb_devsim devsim({"--device", "dev0", "--serial", "13G0001"});
    support::ScratchDir dir;
    const std::string kernel = patterned_bytes(300000);
    write_file("kernel.bin", kernel);
    write_file("kernel.sign", crc_text(kernel) + "\n");
    write_file("wrong.sign", "00000000\n");

    captured c = capture_output([&] {
        EXPECT_EQ(flash_file("xzkernel", "kernel.bin", 65536), 0);
        // the kernel partition lives at 0x141000 on the device
        EXPECT_EQ(do_check("xzkernel", "kernel.sign", 0x141000, kernel.size()), 0);
        EXPECT_EQ(do_check("xzkernel", "wrong.sign", 0x141000, kernel.size()), -1);
        EXPECT_EQ(do_check("xzkernel", "kernel.sign", 0x142000, kernel.size()), -1);
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
    usb_devsim devsim({"--device", "dev0", "--fault", "flash:xzsystem:1000=fail:bad block"});
    support::ScratchDir dir;
    const std::string system = patterned_bytes(10000);
    write_file("system.bin", system);

    int result = 0;
    captured c = capture_output([&] { result = flash_file("xzsystem", "system.bin", 4096); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(c.err, "FAILED (remote: bad block)\n");
    // only the first piece reached the partition
    EXPECT_EQ(devsim.partition("dev0", "xzsystem"), system.substr(0, 4096));
}

TEST(StepsOnDevsim, LinkLostMidWriteThenTheDeviceIsFoundAgain) {
    // the device goes away before answering the first piece's flash command
    usb_devsim devsim({"--device", "dev0", "--fault", "flash:xzvar#1=vanish:command"});
    support::ScratchDir dir;
    const std::string var = patterned_bytes(9000);
    write_file("var.bin", var);

    int result = 0;
    captured lost = capture_output([&] { result = flash_file("xzvar", "var.bin", 4096); });
    EXPECT_EQ(result, -1);
    // the command's write or the status read fails, depending on when the link drops
    EXPECT_EQ(lost.err.rfind("FAILED (", 0), 0u) << lost.err;
    // the transport closed the handle; the device handle forgot it
    EXPECT_EQ(usb_device, nullptr);
    EXPECT_EQ(close_device(), 0);

    // the next write opens the device afresh and goes through
    captured again = capture_output([&] { result = flash_file("xzvar", "var.bin", 4096); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(again.err, "");
    EXPECT_NE(usb_device, nullptr);
    EXPECT_EQ(devsim.partition("dev0", "xzvar"), var);

    std::string crc = crc_text(var);
    EXPECT_EQ(do_check_buf("xzvar", crc.c_str(), 0, var.size()), 0);
}
