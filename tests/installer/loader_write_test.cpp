// The loader write under the RQ3 loader stage: refused writes are retried and end with the
// image's short name; a build of stand-ins sends nothing to a device on real USB, and the run
// ends through the error exit. (The written image itself is seen end to end, in test_e2e.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_bootloader.h"
#include "installer/flow/flow.h"
#include "installer/stages/rq3_stage.h"
#include "installer/steps/run.h"
#include "payload/payload.h"
#include "support/capture.h"
#include "support/temp_dir.h"

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

TEST(Rq3LoaderStage, ThreeRefusedWritesEndWithTheLoaderChecksumLine) {
    fake_bootloader device;
    rq3_answers(device, "Z04", "FAILbusy");
    fake_bootloader_guard guard(device);
    InstallRun run;
    run.wipe = 1;
    int result = 0;
    captured c = capture_output([&] { result = rq3_loader_stage(run); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(run.wipe, 0);
    const std::string attempt = "FAILED (remote: busy)\n\nerror: downloading bootloader\n";
    EXPECT_EQ(c.err, attempt + attempt + attempt + "\nerror: loader checksum loader\n");
    EXPECT_EQ(device.flashed.count("bootloader"), 0u);
}

// A whole unattended run that reboots at the end, on the device behind the fake platform; with
// `dry`, its dry run.
captured run_unattended(int& status, bool dry = false) {
    std::vector<std::string> args = {"tessaro-installer", "1", "1"};
    if (dry) args.insert(args.begin() + 1, "--dry-run");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    return capture_output(
        [&] { status = installer_main(static_cast<int>(argv.size()), argv.data()); });
}

// The run ends through the error exit before any write. Its dry run takes the same road against
// the twin, which counts as real as the device does: the same refusal and ending, the plan says
// why nothing would be written, and the device itself is only asked.
TEST(LoaderWrite, RunOnARealDeviceEndsThroughTheErrorExitBeforeAnyWrite) {
    if (payload_loader_firmware) GTEST_SKIP() << "this build carries the maker's loaders";
    for (const bool dry : {false, true}) {
        SCOPED_TRACE(dry ? "the dry run" : "the run");
        support::ScratchDir dir;
        support::write_file("config.bin", "pagora8\n");
        support::write_file("system.bin", "s");
        fake_bootloader device;
        device.simulated = false;
        rq3_answers(device, "Z04");
        fake_bootloader_guard guard(device);
        int status = -1;
        captured c = run_unattended(status, dry);
        EXPECT_EQ(status, 0);
        const std::string run_out =
            "###doreboot:1\n###dofast:1\n\n###Ver:Z04\n\nDownloading Error!\n\n###All Done.";
        EXPECT_EQ(c.err, kRefusal);
        if (!dry) {
            EXPECT_EQ(c.out, run_out);
            EXPECT_EQ(device.commands, (std::vector<std::string>{
                                           "getvar:product", "getvar:serialno", "getvar:verflag"}));
            continue;
        }
        EXPECT_EQ(c.out.substr(0, run_out.size()), run_out);
        EXPECT_NE(c.out.find("the real install would stop before the loader stage"),
                  std::string::npos)
            << c.out;
        EXPECT_TRUE(c.out.ends_with("\n###Nothing was written to FAKE0001\n")) << c.out;
        for (const std::string& command : device.commands)
            EXPECT_TRUE(command.starts_with("getvar:")) << command;
    }
}

// The other families: the "verflag" answer decides at once. A device that would get any loader
// (a chain stage, the final loader after the boot configuration block or "doload") is refused
// before anything of the run is written; one whose loader is current gets its package.
TEST(LoaderWrite, FamilyRunOnARealDeviceIsRefusedAsSoonAsTheLoaderVersionIsKnown) {
    if (payload_loader_firmware) GTEST_SKIP() << "this build carries the maker's loaders";
    const struct {
        const char* verflag;
        bool refused;
    } cases[] = {{"8.0", true}, {"Y00", true}, {"Z03", true}, {"Z07", false}};
    for (const auto& row : cases) {
        SCOPED_TRACE(row.verflag);
        support::ScratchDir dir;
        support::write_file("config.bin", "vrx3\n");
        support::write_file("system.bin", "s");
        fake_bootloader device;
        device.simulated = false;
        const std::string verflag = row.verflag;
        device.answer = [verflag](const std::string& command) {
            if (command == "getvar:serialno") return std::string("OKAY067A0001");
            if (command == "getvar:systype") return std::string("OKAYsing");
            if (command == "getvar:verflag") return "OKAY" + verflag;
            if (command == "getvar:bootmode") return std::string("OKAYmain");
            return std::string("OKAY");
        };
        fake_bootloader_guard guard(device);
        int status = -1;
        captured c = run_unattended(status);
        EXPECT_EQ(status, 0);
        if (row.refused) {
            EXPECT_EQ(c.err, kRefusal);
            EXPECT_EQ(device.commands,
                      (std::vector<std::string>{"getvar:product", "getvar:serialno",
                                                "getvar:systype", "getvar:verflag"}));
        } else {
            EXPECT_EQ(c.err.find("error"), std::string::npos) << c.err;
            EXPECT_EQ(device.flashed["xzsystem"], "s");
            EXPECT_EQ(device.commands.back(), "reboot");
        }
    }
}

}  // namespace
