// The RQ3 loader stage and the loader write under it: loader_quessel goes to "bootloader" on a
// simulated device, with retries; a build of stand-ins sends nothing to a device on real USB,
// and the whole run then ends through the error exit.
#include "installer/loader_write.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture.h"
#include "fake_bootloader.h"
#include "installer/flow.h"
#include "installer/stages.h"
#include "payload/payload.h"
#include "scratch_dir.h"

namespace {

const char kRefusal[] =
    "\nerror: this build carries no loader firmware for this device, only stand-ins for simulated "
    "devices; to install loaders on real devices, build the installer with "
    "-DTESSARO_LOADER_DIR=DIR, where DIR holds the device maker's loader images\n";

// An RQ3 device whose loader reports `verflag`; `flash` answers its "flash:" commands.
void rq3_answers(fake_bootloader& device, std::string verflag, std::string flash = "OKAY") {
    device.answer = [verflag, flash](const std::string& command) {
        if (command == "getvar:product") return std::string("OKAYRQ3");
        if (command == "getvar:serialno") return std::string("OKAYP00118UNIT0001");
        if (command == "getvar:verflag") return "OKAY" + verflag;
        if (command.rfind("flash:", 0) == 0) return flash;
        return std::string("OKAY");
    };
}

std::string quessel_bytes() {
    return {reinterpret_cast<const char*>(loader_quessel), loader_quessel_size};
}

TEST(Rq3LoaderStage, OlderOrSilentLoaderGetsQuesselOnASimulatedDevice) {
    for (const char* verflag : {"Z04", "", "Y99"}) {
        SCOPED_TRACE(verflag);
        fake_bootloader device;
        rq3_answers(device, verflag);
        fake_bootloader_guard guard(device);
        int result = 1;
        captured c = capture_output([&] { result = rq3_loader_stage(); });
        EXPECT_EQ(result, 0);
        EXPECT_EQ(c.out, std::string("\n###Ver:") + verflag + "\n");
        EXPECT_EQ(c.err, "");
        EXPECT_EQ(device.commands, (std::vector<std::string>{"getvar:verflag", "download:00033000",
                                                             "flash:bootloader"}));
        EXPECT_EQ(device.flashed["bootloader"], quessel_bytes());
    }
}

TEST(Rq3LoaderStage, CurrentLoaderIsLeftAlone) {
    for (const char* verflag : {"Z05", "Z10"}) {
        fake_bootloader device;
        device.simulated = false;  // nothing to write, so a real device is fine
        rq3_answers(device, verflag);
        fake_bootloader_guard guard(device);
        int result = 1;
        captured c = capture_output([&] { result = rq3_loader_stage(); });
        EXPECT_EQ(result, 0) << verflag;
        EXPECT_EQ(device.commands, std::vector<std::string>{"getvar:verflag"}) << verflag;
    }
}

TEST(Rq3LoaderStage, ThreeRefusedWritesEndWithTheLoaderChecksumLine) {
    fake_bootloader device;
    rq3_answers(device, "Z04", "FAILbusy");
    fake_bootloader_guard guard(device);
    wipe = 1;
    int result = 0;
    captured c = capture_output([&] { result = rq3_loader_stage(); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(wipe, 0);
    const std::string attempt = "FAILED (remote: busy)\n\nerror: downloading bootloader\n";
    EXPECT_EQ(c.err, attempt + attempt + attempt + "\nerror: loader checksum loader\n");
    EXPECT_EQ(device.flashed.count("bootloader"), 0u);
}

TEST(LoaderWrite, StandInIsNeverSentToADeviceOnRealUsb) {
    if (payload_loader_firmware) GTEST_SKIP() << "this build carries the maker's loaders";
    fake_bootloader device;
    device.simulated = false;
    rq3_answers(device, "Z04");
    fake_bootloader_guard guard(device);
    loader_write result = loader_write::written;
    captured c = capture_output(
        [&] { result = flash_loader(loader_quessel, loader_quessel_size, "bootloader"); });
    EXPECT_EQ(result, loader_write::refused);
    EXPECT_EQ(c.err, kRefusal);
    EXPECT_TRUE(device.commands.empty());
    EXPECT_EQ(device.opens, 1) << "the device is only looked at";
}

TEST(LoaderWrite, RunOnARealDeviceEndsThroughTheErrorExitBeforeAnyWrite) {
    if (payload_loader_firmware) GTEST_SKIP() << "this build carries the maker's loaders";
    scratch_dir dir;
    write_file("config.bin", "pagora8\n");
    write_file("system.bin", "s");
    fake_bootloader device;
    device.simulated = false;
    rq3_answers(device, "Z04");
    fake_bootloader_guard guard(device);
    std::vector<std::string> args = {"tessaro-installer", "1", "1"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    int status = -1;
    captured c = capture_output([&] { status = installer_main(3, argv.data()); });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(c.out,
              "###doreboot:1\n###dofast:1\n\n###Ver:Z04\n\nDownloading Error!\n\n###All Done.");
    EXPECT_EQ(c.err, kRefusal);
    EXPECT_EQ(device.commands,
              (std::vector<std::string>{"getvar:product", "getvar:serialno", "getvar:verflag"}));
}

}  // namespace
