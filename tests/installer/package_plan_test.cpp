// The download preamble and the package plan, run in-process against tessaro-devsim with the
// run state set: which file reaches which partition for each target and current system, the
// checks on host and device, the system-type marker and the recovery flag.
#include "installer/stages/package_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "console/console.h"
#include "installer/boardtype/boardtype.h"
#include "installer/steps/run.h"
#include "installer/steps/texts.h"
#include "support/capture.h"
#include "support/temp_dir.h"
#include "usb_devsim.h"

namespace {

// the run the stages under test are given
InstallRun run;

// Each package file has a size of its own, so its download names it.
const std::vector<std::string> kFiles = {"system.bin", "var.bin",     "kernel.bin",  "data.bin",
                                         "data2g.bin", "data32g.bin", "esystem.bin", "edata.bin",
                                         "vemkit.bin", "bios.bin",    "s-bios.bin"};

std::string bytes_of(const std::string& file) {
    auto at = std::find(kFiles.begin(), kFiles.end(), file) - kFiles.begin();
    return support::patterned_bytes(1000 + 101 * static_cast<size_t>(at));
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

void enter(const char* serial, int type, int target, int wipe_data) {
    run = InstallRun{};
    run.sys_type = type;
    run.sys_new = target;
    run.wipe = wipe_data;
    std::memset(run.serialno, 0, sizeof run.serialno);
    std::snprintf(run.serialno, sizeof run.serialno, "%s", serial);
    BOARD_TYPE_SET(run.serialno, static_cast<int>(std::strlen(run.serialno)));
}

usb_devsim start(const char* serial, const std::string& options) {
    std::vector<std::string> args = {"--device", "dev0", "--serial", serial};
    for (auto& w : words(options)) args.push_back(w);
    return usb_devsim(args);
}

struct plan_case {
    const char* what;
    const char* serial;
    int sys_type, sys_new, wipe;
    const char* options;  // devsim options
    const char* changes;  // "-FILE": not in the package; "!SIGN": a sign that does not match
    // What the device sees: "PART<FILE" a whole download flashed to PART, "@HEX" after it the
    // device's check of it at that address, "VAR=VALUE" a setvar; "N" the native three files.
    const char* steps;
    const char* err;  // everything on standard error; empty when the plan goes through
};

void PrintTo(const plan_case& c, std::ostream* os) {
    *os << c.what;
}

class PackagePlan : public testing::TestWithParam<plan_case> {};

TEST_P(PackagePlan, DeviceSeesEachStepInOrder) {
    const plan_case& c = GetParam();
    usb_devsim devsim = start(c.serial, c.options);
    support::ScratchDir dir;
    for (const auto& f : kFiles) support::write_file(f, bytes_of(f));
    for (std::string f : {"kernel", "vemkit", "bios", "s-bios"})
        support::write_file(f + ".sign", crc_text(bytes_of(f + ".bin")) + "\n");
    for (const auto& w : words(c.changes)) {
        if (w[0] == '-') std::filesystem::remove(w.substr(1));
        if (w[0] == '!') support::write_file(w.substr(1), "0badc0de\n");
    }
    enter(c.serial, c.sys_type, c.sys_new, c.wipe);

    int result = -2;
    captured out = capture_output([&] { result = package_plan(run); });
    EXPECT_EQ(result, c.err[0] == '\0' ? 0 : -1);
    EXPECT_EQ(out.err, c.err);

    std::vector<std::string> commands, progress;
    std::string steps = std::string(" ") + c.steps + " ";
    if (auto n = steps.find(" N "); n != std::string::npos)
        steps.replace(n, 3, " xzsystem<system.bin xzvar<var.bin xzkernel<kernel.bin@141000 ");
    for (std::string s : words(steps)) {
        auto lt = s.find('<'), at = s.find('@');
        if (lt == std::string::npos) {
            commands.push_back("setvar:" + s.replace(s.find('='), 1, " "));
            continue;
        }
        std::string part = s.substr(0, lt), file = s.substr(lt + 1, at - lt - 1);
        char text[128];
        std::snprintf(text, sizeof text, "download:%08zx", bytes_of(file).size());
        commands.insert(commands.end(), {text, "flash:" + part});
        if (at != std::string::npos) {
            std::snprintf(text, sizeof text, "check:%s %s %zx %s", part.c_str(),
                          s.substr(at + 1).c_str(), bytes_of(file).size(),
                          crc_text(bytes_of(file)).c_str());
            commands.push_back(text);
        }
        if (result != 0) continue;
        EXPECT_EQ(devsim.partition("dev0", part), bytes_of(file)) << s;
        std::string name = file.substr(0, file.size() - 4);
        name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
        progress.push_back(file.rfind("data", 0) == 0 ? "\nDownloading data:" + file + "\n"
                                                      : "\nDownloading " + name + ":\n");
    }
    EXPECT_EQ(devsim.commands(), commands);
    for (const auto& line : progress) {
        auto at = out.out.find(line);
        EXPECT_NE(at, std::string::npos) << line;
        if (at != std::string::npos) out.out.erase(0, at + line.size());  // in this order
    }
}

INSTANTIATE_TEST_SUITE_P(
    Plans, PackagePlan,
    testing::Values(
        plan_case{"NativeUpgradeKeepsTheData", "0250001", 0, 0, 0, "", "", "N systype=sing", ""},
        plan_case{"DualToNative", "0250001", 2, 0, 0, "", "", "N xzdata<data.bin systype=sing", ""},
        plan_case{"SecondToNativeOn13G", "13G0001", 1, 0, 0, "", "",
                  "N xzdata<data32g.bin systype=sing", ""},
        plan_case{"NativeToSecondOnTheNativePartitions", "0250001", 0, 1, 1, "", "",
                  "xzsystem<esystem.bin xzdata<edata.bin xzkernel<vemkit.bin@141000 "
                  "systype=tess recvmode=recvrecv",
                  ""},
        plan_case{"SecondUpgrade", "02A0001", 1, 1, 0, "", "",
                  "xzsystem<esystem.bin xzdata<edata.bin xzkernel<vemkit.bin@141000 systype=tess",
                  ""},
        plan_case{"NativeToDualOn02E", "02E0001", 0, 2, 1, "--address xevemkit=35E00000", "",
                  "N xzvfat<data2g.bin xesystem<esystem.bin xedata<edata.bin "
                  "xevemkit<vemkit.bin@35e00000 systype=dual recvmode=recvrecv",
                  ""},
        plan_case{"DualUpgradeOn02A", "02A0001", 2, 2, 0, "--address xevemkit=60000000", "",
                  "N xesystem<esystem.bin xedata<edata.bin xevemkit<vemkit.bin@60000000 "
                  "systype=dual",
                  ""},
        plan_case{"DualWipeOn13G", "13G0001", 2, 2, 1, "--address xevemkit=E2400000", "-edata.bin",
                  "N xesystem<esystem.bin xevemkit<vemkit.bin@e2400000 systype=dual "
                  "recvmode=recvrecv",
                  ""},
        plan_case{"SecondToDualOn07FBiosFirst", "07F0001", 1, 2, 1, "--address xevemkit=77C00000",
                  "",
                  "fbios<bios.bin sbios<s-bios.bin xzsystem<system.bin xzvar<var.bin "
                  "xzkernel<kernel.bin@141000 xzvfat<data.bin xesystem<esystem.bin "
                  "xedata<edata.bin xevemkit<vemkit.bin@77c00000 systype=dual recvmode=recvrecv",
                  ""},
        plan_case{"NativeToDualOnTheDefaultLayout", "0670001", 0, 2, 0, "", "-esystem.bin",
                  "N xzvfat<data.bin xedata<edata.bin xevemkit<vemkit.bin@66400000 systype=dual",
                  ""},
        plan_case{"FilesWithoutTheirSignAreSkipped", "0780001", 0, 0, 0, "",
                  "-bios.sign -kernel.sign -var.bin",
                  "sbios<s-bios.bin xzsystem<system.bin systype=sing", ""},
        plan_case{"KernelNotMatchingItsSignIsNotSent", "0250001", 0, 0, 0, "", "!kernel.sign",
                  "xzsystem<system.bin xzvar<var.bin", "\nerror: file checksum kernel.bin\n"},
        plan_case{"KernelCheckFailsOnTheDevice", "0250001", 0, 0, 0,
                  "--fault check:xzkernel*=fail:mismatch", "", "N",
                  "FAILED (remote: mismatch)\n\nerror: kernel checksum kernel.bin\n"},
        plan_case{"VemkitCheckFailsWithTheQueuesLineAlone", "0250001", 0, 1, 1,
                  "--fault check:xzkernel*=fail:mismatch", "",
                  "xzsystem<esystem.bin xzdata<edata.bin xzkernel<vemkit.bin@141000",
                  "FAILED (remote: mismatch)\n"},
        plan_case{"DeviceRefusesAWrite", "0250001", 0, 0, 0, "--fault flash:xzvar*=fail:bad", "",
                  "xzsystem<system.bin xzvar<var.bin",
                  "FAILED (remote: bad)\n\nerror: downloading var.bin\n"},
        plan_case{"RefusedMarker", "0250001", 0, 1, 1, "--fault setvar:systype*=fail:no", "",
                  "xzsystem<esystem.bin xzdata<edata.bin xzkernel<vemkit.bin@141000 systype=tess",
                  "setvar:systype tess FAILED (remote: no)\n\nerror: setting systype\n"},
        plan_case{"RefusedRecoveryFlag", "0250001", 2, 0, 1, "--fault setvar:recvmode*=fail:no", "",
                  "N xzdata<data.bin systype=sing recvmode=recvrecv",
                  "setvar:recvmode recvrecv FAILED (remote: no)\n\nerror: setting recvmode\n"}),
    [](const testing::TestParamInfo<plan_case>& info) { return std::string(info.param.what); });

struct preamble_case {
    const char* what;
    int sys_new;
    const char* options;
    const char* version;  // as the version line shows it
    bool sets_bootmode;
    bool refused = false;  // the device refuses the boot mode: the run stops there
};

void PrintTo(const preamble_case& c, std::ostream* os) {
    *os << c.what;
}

class DownloadPreamble : public testing::TestWithParam<preamble_case> {};

TEST_P(DownloadPreamble, VersionBootModeAndTarget) {
    const preamble_case& c = GetParam();
    usb_devsim devsim = start("0250001", c.options);
    enter("0250001", 0, c.sys_new, 0);

    int result = -2;
    auto start = std::chrono::steady_clock::now();
    captured out = capture_output([&] { result = download_preamble(run); });
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result, c.refused ? -1 : 0);
    const char* banner = c.sys_new == 2   ? txt::downloading_dual
                         : c.sys_new == 1 ? txt::downloading_second
                                          : txt::downloading_native;
    EXPECT_EQ(out.out,
              "\n\n###########################################\n###Ver:" + std::string(c.version) +
                  ", Downloading..." + (c.refused ? "" : console_encode(banner)));
    EXPECT_EQ(out.err.find("\nerror: setting bootmode\n") != std::string::npos, c.refused);
    std::vector<std::string> commands = {"getvar:verflag", "getvar:bootmode"};
    if (c.sets_bootmode) commands.push_back("setvar:bootmode main");
    EXPECT_EQ(devsim.commands(), commands);
    // the device is given a second to take the new boot mode
    EXPECT_EQ(took >= std::chrono::milliseconds(950), c.sets_bootmode && !c.refused);
}

INSTANTIATE_TEST_SUITE_P(
    BootMode, DownloadPreamble,
    testing::Values(preamble_case{"MainIsLeftAlone", 2, "--var verflag=Z07 --var bootmode=main",
                                  "Z07", false},
                    // "main" followed by more is another mode
                    preamble_case{"LongerThanMainWithOneSecondWait", 0,
                                  "--var verflag=Z05 --var bootmode=mainx", "Z05", true},
                    // neither variable known: an empty version and a boot mode to correct
                    preamble_case{"UnansweredWithOneSecondWait", 1, "", "", true},
                    // it would start the wrong system
                    preamble_case{"CorrectionRefused", 2,
                                  "--var verflag=Z07 --var bootmode=diags --fault "
                                  "setvar:bootmode*=fail",
                                  "Z07", true, true}),
    [](const testing::TestParamInfo<preamble_case>& info) { return std::string(info.param.what); });

}  // namespace
