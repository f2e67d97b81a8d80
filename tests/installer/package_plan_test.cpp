// The download preamble and the package plan, run in-process against tessaro-devsim with the
// run state set: which file reaches which partition for each target and current system, the
// checks on host and device, the system-type marker and the recovery flag.
#include <gtest/gtest.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "client/action_queue.h"
#include "console/console.h"
#include "installer/boardtype/boardtype.h"
#include "installer/flow.h"
#include "installer/stages.h"
#include "installer/texts.h"
#include "support/capture.h"
#include "support/temp_dir.h"
#include "usb_devsim.h"

namespace {

using support::patterned_bytes;
using support::write_file;

// Every file a package can hold, each of its own size so that its download names it, with the
// name of its progress line.
struct package_file {
    const char* name;
    size_t size;
    const char* line;
};
const package_file kPackage[] = {
    {"system.bin", 3001, "Downloading system:"},
    {"var.bin", 1002, "Downloading var:"},
    {"kernel.bin", 5003, "Downloading kernel:"},
    {"data.bin", 2004, "Downloading data:data.bin"},
    {"data2g.bin", 2005, "Downloading data:data2g.bin"},
    {"data32g.bin", 2006, "Downloading data:data32g.bin"},
    {"esystem.bin", 3007, "Downloading esystem:"},
    {"edata.bin", 1008, "Downloading edata:"},
    {"vemkit.bin", 4009, "Downloading vemkit:"},
    {"bios.bin", 510, "Downloading bios:"},
    {"s-bios.bin", 511, "Downloading sbios:"},
};
const std::map<std::string, std::string> kSigns = {{"kernel.bin", "kernel.sign"},
                                                   {"vemkit.bin", "vemkit.sign"},
                                                   {"bios.bin", "bios.sign"},
                                                   {"s-bios.bin", "s-bios.sign"}};

const package_file& file_of(const std::string& name) {
    for (const auto& f : kPackage) {
        if (name == f.name) return f;
    }
    throw std::invalid_argument("no package file " + name);
}

// The whole package in the current directory, signature files included.
void write_package() {
    for (const auto& f : kPackage) write_file(f.name, patterned_bytes(f.size));
    for (const auto& [file, sign] : kSigns)
        write_file(sign, crc_text(patterned_bytes(file_of(file).size)) + "\n");
}

struct run_state {
    const char* serial;
    int sys_type;
    int sys_new;
    int wipe;
};

void enter(const run_state& r) {
    sys_type = r.sys_type;
    sys_new = r.sys_new;
    wipe = r.wipe;
    std::memset(serialno, 0, sizeof serialno);
    std::snprintf(serialno, sizeof serialno, "%s", r.serial);
    BOARD_TYPE_SET(serialno, static_cast<int>(std::strlen(serialno)));
}

// What the device should see, in compact steps:
//   "PART<FILE"       FILE downloaded whole and flashed to PART
//   "PART<FILE@HEX"   the same, then the device checks PART at address HEX against FILE's sign
//   "VAR=VALUE"       a setvar
std::vector<std::string> expected_commands(const std::vector<std::string>& steps) {
    std::vector<std::string> out;
    for (const std::string& s : steps) {
        auto lt = s.find('<');
        if (lt == std::string::npos) {
            out.push_back("setvar:" + s.substr(0, s.find('=')) + " " + s.substr(s.find('=') + 1));
            continue;
        }
        auto at = s.find('@');
        std::string part = s.substr(0, lt);
        std::string file =
            s.substr(lt + 1, at == std::string::npos ? std::string::npos : at - lt - 1);
        size_t size = file_of(file).size;
        char download[32];
        std::snprintf(download, sizeof download, "download:%08zx", size);
        out.push_back(download);
        out.push_back("flash:" + part);
        if (at != std::string::npos) {
            char check[128];
            std::snprintf(check, sizeof check, "check:%s %s %zx %s", part.c_str(),
                          s.substr(at + 1).c_str(), size, crc_text(patterned_bytes(size)).c_str());
            out.push_back(check);
        }
    }
    return out;
}

// The "Downloading ..." progress lines of an output, in order.
std::vector<std::string> progress_lines(const std::string& out) {
    std::vector<std::string> lines;
    size_t at = 0;
    while ((at = out.find("\nDownloading ", at)) != std::string::npos) {
        size_t end = out.find('\n', at + 1);
        lines.push_back(out.substr(at + 1, end - at - 1));
        at = end;
    }
    return lines;
}

struct plan_case {
    const char* what;
    run_state state;
    std::vector<std::string> devsim_args;  // after --device dev0 --serial
    std::vector<std::string> absent;       // package files removed before the run
    std::vector<std::string> steps;        // what the device sees (expected_commands)
};

void PrintTo(const plan_case& c, std::ostream* os) {
    *os << c.what;
}

class PackagePlan : public testing::TestWithParam<plan_case> {};

TEST_P(PackagePlan, WritesEachFileToItsPartitionAndMarksTheSystem) {
    const plan_case& c = GetParam();
    std::vector<std::string> args = {"--device", "dev0", "--serial", c.state.serial};
    args.insert(args.end(), c.devsim_args.begin(), c.devsim_args.end());
    usb_devsim devsim(args);
    support::ScratchDir dir;
    write_package();
    for (const auto& name : c.absent) std::filesystem::remove(name);
    enter(c.state);

    int result = -2;
    captured out = capture_output([&] { result = package_plan(); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out.err, "");
    EXPECT_EQ(devsim.commands(), expected_commands(c.steps));

    std::vector<std::string> lines;
    for (const std::string& s : c.steps) {
        auto lt = s.find('<');
        if (lt == std::string::npos) continue;
        std::string file = s.substr(
            lt + 1, s.find('@') == std::string::npos ? std::string::npos : s.find('@') - lt - 1);
        lines.push_back(file_of(file).line);
        EXPECT_EQ(devsim.partition("dev0", s.substr(0, lt)), patterned_bytes(file_of(file).size))
            << s;
    }
    EXPECT_EQ(progress_lines(out.out), lines);
}

const std::vector<std::string> kNativeFiles = {"xzsystem<system.bin", "xzvar<var.bin",
                                               "xzkernel<kernel.bin@141000"};

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

INSTANTIATE_TEST_SUITE_P(
    Targets, PackagePlan,
    testing::Values(
        plan_case{"NativeUpgradeKeepsTheData",
                  {"0250001", 0, 0, 0},
                  {},
                  {},
                  kNativeFiles + std::vector<std::string>{"systype=sing"}},
        plan_case{"DualBackToNativeWritesTheData",
                  {"0250001", 2, 0, 0},
                  {},
                  {},
                  kNativeFiles + std::vector<std::string>{"xzdata<data.bin", "systype=sing"}},
        plan_case{"SecondToNativeOn13GTakesData32g",
                  {"13G0001", 1, 0, 0},
                  {},
                  {},
                  kNativeFiles + std::vector<std::string>{"xzdata<data32g.bin", "systype=sing"}},
        plan_case{"NativeToSecondTakesTheNativePartitions",
                  {"0250001", 0, 1, 1},
                  {},
                  {},
                  {"xzsystem<esystem.bin", "xzdata<edata.bin", "xzkernel<vemkit.bin@141000",
                   "systype=tess", "recvmode=recvrecv"}},
        plan_case{"SecondUpgradeWithoutWipe",
                  {"02A0001", 1, 1, 0},
                  {},
                  {},
                  {"xzsystem<esystem.bin", "xzdata<edata.bin", "xzkernel<vemkit.bin@141000",
                   "systype=tess"}},
        plan_case{"NativeToDualOn02ETakesData2g",
                  {"02E0001", 0, 2, 1},
                  {"--address", "xevemkit=35E00000"},
                  {},
                  kNativeFiles +
                      std::vector<std::string>{"xzvfat<data2g.bin", "xesystem<esystem.bin",
                                               "xedata<edata.bin", "xevemkit<vemkit.bin@35e00000",
                                               "systype=dual", "recvmode=recvrecv"}},
        plan_case{"DualUpgradeOn02AKeepsTheData",
                  {"02A0001", 2, 2, 0},
                  {"--address", "xevemkit=60000000"},
                  {},
                  kNativeFiles +
                      std::vector<std::string>{"xesystem<esystem.bin", "xedata<edata.bin",
                                               "xevemkit<vemkit.bin@60000000", "systype=dual"}},
        plan_case{
            "DualWipeOn13G",
            {"13G0001", 2, 2, 1},
            {"--address", "xevemkit=E2400000"},
            {},
            kNativeFiles + std::vector<std::string>{"xesystem<esystem.bin", "xedata<edata.bin",
                                                    "xevemkit<vemkit.bin@e2400000", "systype=dual",
                                                    "recvmode=recvrecv"}},
        plan_case{"SecondToDualOn07FWritesTheBiosFirst",
                  {"07F0001", 1, 2, 1},
                  {"--address", "xevemkit=77C00000"},
                  {},
                  std::vector<std::string>{"fbios<bios.bin", "sbios<s-bios.bin"} + kNativeFiles +
                      std::vector<std::string>{"xzvfat<data.bin", "xesystem<esystem.bin",
                                               "xedata<edata.bin", "xevemkit<vemkit.bin@77c00000",
                                               "systype=dual", "recvmode=recvrecv"}},
        plan_case{"NativeToDualOnTheDefaultLayout",
                  {"0670001", 0, 2, 1},
                  {},
                  {"edata.bin"},
                  kNativeFiles + std::vector<std::string>{"xzvfat<data.bin", "xesystem<esystem.bin",
                                                          "xevemkit<vemkit.bin@66400000",
                                                          "systype=dual", "recvmode=recvrecv"}},
        plan_case{"FilesWithoutTheirSignAreSkipped",
                  {"0780001", 0, 0, 0},
                  {},
                  {"bios.sign", "kernel.sign", "var.bin"},
                  {"sbios<s-bios.bin", "xzsystem<system.bin", "systype=sing"}}),
    [](const testing::TestParamInfo<plan_case>& info) { return std::string(info.param.what); });

struct failure_case {
    const char* what;
    run_state state;
    std::vector<std::string> devsim_args;
    std::map<std::string, std::string> replaced;  // package files given other contents
    std::string err;                              // everything on standard error
    std::vector<std::string> steps;               // what the device saw before the plan stopped
};

void PrintTo(const failure_case& c, std::ostream* os) {
    *os << c.what;
}

class PackagePlanFailure : public testing::TestWithParam<failure_case> {};

TEST_P(PackagePlanFailure, StopsAtTheFailingStepWithItsLine) {
    const failure_case& c = GetParam();
    std::vector<std::string> args = {"--device", "dev0", "--serial", c.state.serial};
    args.insert(args.end(), c.devsim_args.begin(), c.devsim_args.end());
    usb_devsim devsim(args);
    support::ScratchDir dir;
    write_package();
    for (const auto& [name, bytes] : c.replaced) write_file(name, bytes);
    enter(c.state);

    int result = -2;
    captured out = capture_output([&] { result = package_plan(); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(out.err, c.err);
    EXPECT_EQ(devsim.commands(), expected_commands(c.steps));
}

INSTANTIATE_TEST_SUITE_P(
    Failures, PackagePlanFailure,
    testing::Values(
        failure_case{"KernelNotMatchingItsSignIsNotSent",
                     {"0250001", 0, 0, 0},
                     {},
                     {{"kernel.sign", "0badc0de\n"}},
                     "\nerror: file checksum kernel.bin\n",
                     {"xzsystem<system.bin", "xzvar<var.bin"}},
        failure_case{"KernelCheckFailsOnTheDevice",
                     {"0250001", 0, 0, 0},
                     {"--fault", "check:xzkernel*=fail:crc mismatch"},
                     {},
                     "FAILED (remote: crc mismatch)\n\nerror: kernel checksum kernel.bin\n",
                     kNativeFiles},
        failure_case{"VemkitCheckFailsWithoutALineOfItsOwn",
                     {"0250001", 0, 1, 1},
                     {"--fault", "check:xzkernel*=fail:crc mismatch"},
                     {},
                     "FAILED (remote: crc mismatch)\n",
                     {"xzsystem<esystem.bin", "xzdata<edata.bin", "xzkernel<vemkit.bin@141000"}},
        failure_case{"DeviceRefusesAWrite",
                     {"0250001", 0, 0, 0},
                     {"--fault", "flash:xzvar*=fail:bad block"},
                     {},
                     "FAILED (remote: bad block)\n\nerror: downloading var.bin\n",
                     {"xzsystem<system.bin", "xzvar<var.bin"}},
        failure_case{"RefusedMarkerIsAFailure",
                     {"0250001", 0, 1, 1},
                     {"--fault", "setvar:systype*=fail:refused"},
                     {},
                     "setvar:systype tess FAILED (remote: refused)\n\nerror: setting systype\n",
                     {"xzsystem<esystem.bin", "xzdata<edata.bin", "xzkernel<vemkit.bin@141000",
                      "systype=tess"}},
        failure_case{
            "RefusedRecoveryFlagIsAFailure",
            {"0250001", 2, 0, 1},
            {"--fault", "setvar:recvmode*=fail:refused"},
            {},
            "setvar:recvmode recvrecv FAILED (remote: refused)\n\nerror: setting recvmode\n",
            kNativeFiles +
                std::vector<std::string>{"xzdata<data.bin", "systype=sing", "recvmode=recvrecv"}}),
    [](const testing::TestParamInfo<failure_case>& info) { return std::string(info.param.what); });

// The preamble: banner, version line, the "bootmode" correction and the target banner.
struct preamble_case {
    const char* what;
    int sys_new;
    std::vector<std::string> vars;  // --var options
    const char* version;            // as the version line shows it
    bool sets_bootmode;
};

void PrintTo(const preamble_case& c, std::ostream* os) {
    *os << c.what;
}

class DownloadPreamble : public testing::TestWithParam<preamble_case> {};

TEST_P(DownloadPreamble, ShowsTheVersionAndTheTarget) {
    const preamble_case& c = GetParam();
    std::vector<std::string> args = {"--device", "dev0", "--serial", "0250001"};
    for (const auto& v : c.vars) args.insert(args.end(), {"--var", v});
    usb_devsim devsim(args);
    enter({"0250001", 0, c.sys_new, 0});

    int result = -2;
    auto start = std::chrono::steady_clock::now();
    captured out = capture_output([&] { result = download_preamble(); });
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result, 0);

    const char* banner = c.sys_new == 2   ? txt::downloading_dual
                         : c.sys_new == 1 ? txt::downloading_second
                                          : txt::downloading_native;
    EXPECT_EQ(out.out, "\n\n###########################################\n###Ver:" +
                           std::string(c.version) + ", Downloading..." + console_encode(banner));
    std::vector<std::string> commands = {"getvar:verflag", "getvar:bootmode"};
    if (c.sets_bootmode) commands.push_back("setvar:bootmode main");
    EXPECT_EQ(devsim.commands(), commands);
    // the device is given a second to take the new boot mode
    EXPECT_EQ(took >= std::chrono::milliseconds(950), c.sets_bootmode);
}

INSTANTIATE_TEST_SUITE_P(
    MainBootMode, DownloadPreamble,
    testing::Values(preamble_case{"Native", 0, {"verflag=Z07", "bootmode=main"}, "Z07", false},
                    preamble_case{"Second", 1, {"verflag=Z05", "bootmode=main"}, "Z05", false},
                    preamble_case{"Dual", 2, {"verflag=Y01", "bootmode=main"}, "Y01", false}),
    [](const testing::TestParamInfo<preamble_case>& info) { return std::string(info.param.what); });

INSTANTIATE_TEST_SUITE_P(
    OtherBootModeWithOneSecondWait, DownloadPreamble,
    testing::Values(
        // "main" followed by more is another mode
        preamble_case{"LongerThanMain", 2, {"verflag=Z07", "bootmode=mainx"}, "Z07", true},
        // neither variable known: an empty version and a boot mode to correct
        preamble_case{"Unanswered", 1, {}, "", true}),
    [](const testing::TestParamInfo<preamble_case>& info) { return std::string(info.param.what); });

}  // namespace
