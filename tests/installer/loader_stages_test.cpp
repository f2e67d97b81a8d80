// The loader stage of the families other than RQ3 and the boot configuration block, run in
// process against tessaro-devsim: what the device is sent, command by command, and what it
// stores. The device runs each loader image from the reboot after it was written (its default
// "verflag" chain walks 8.0 -> 9.0 -> 9.9 -> A.9 -> Y01 -> Z07, loader_tiva gives Z05).
#include "installer/stages/loader_stages.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "check/crc32.h"
#include "installer/boardtype/boardtype.h"
#include "installer/steps/config_block.h"
#include "installer/steps/run.h"
#include "payload/payload.h"
#include "run_state.h"
#include "support/capture.h"
#include "usb_devsim.h"

namespace {

// the run the stages under test are given
InstallRun run;

constexpr char kBanner[] = "\n\n###########################################";

std::string hex(uint64_t v, const char* format = "%llx") {
    char text[32];
    std::snprintf(text, sizeof text, format, static_cast<unsigned long long>(v));
    return text;
}

// The commands a stage sends, built in the order the device sees them.
struct sent {
    std::vector<std::string> v;
    sent& query(const char* var, int times = 1) {
        for (int i = 0; i < times; ++i) v.push_back(std::string("getvar:") + var);
        return *this;
    }
    sent& write(const char* img, const std::string& partition) {
        v.push_back("download:" + hex(image(img).size, "%08llx"));
        v.push_back("flash:" + partition);
        return *this;
    }
    sent& check(const char* img, const std::string& partition, uint64_t addr) {
        v.push_back("check:" + partition + " " + hex(addr) + " " + hex(image(img).size) + " " +
                    image(img).crc);
        return *this;
    }
    sent& checked(const char* img, const std::string& partition, uint64_t addr = 0) {
        return write(img, partition).check(img, partition, addr);
    }
    // a boot configuration block at `addr` of `part`, checked against `crc` when one is given
    sent& block(const std::string& part, uint64_t addr, const char* crc = nullptr) {
        const std::string name = part + ":" + hex(addr);
        v.push_back("download:00000400");
        v.push_back("flash:" + name);
        if (crc != nullptr) v.push_back("check:" + name + " " + hex(addr) + " 400 " + crc);
        return *this;
    }
    sent& reconnect() {
        v.push_back("reboot");
        return query("product");
    }
    sent& set(const char* var, const char* value) {
        v.push_back(std::string("setvar:") + var + " " + value);
        return *this;
    }
};

// The block for a dual-system device; its CRC-32 is 8bb20ec9.
constexpr char kDualCrc[] = "8bb20ec9";
const std::string kEmpty = "\xAB\xCD\xEF\xFF\xFF\xEF\xCD\xAB";

std::string config_block(const std::string& marker) {
    std::string b = marker + "secondse" + kEmpty + "11111111";
    b.resize(1024, '\0');
    return b;
}

// The run state the stage starts from: the device's identity, the current and chosen systems.
void enter(const char* serial, int type, int target) {
    run = run_state(serial, type, target);
    run.wipe = 0;
    run.verflaglen = -1;
    run.resetxmbr = -1;
}

std::vector<std::string> device(const char* serial, std::vector<std::string> options) {
    std::vector<std::string> args = {"--device", "dev", "--serial", serial, "--var", "product=SIM"};
    args.insert(args.end(), options.begin(), options.end());
    return args;
}

struct loader_case {
    const char* name;
    const char* serial;
    std::vector<std::string> options;  // the device's
    int sys_type, sys_new;
    int result;
    sent commands;
    const char* verflag_shown;
    bool skips_chain;  // the models whose loader is never walked through the chain say "###"
    std::string err;
    int resetxmbr;  // -1: not looked at (the stage ended before the final loader)
};

void PrintTo(const loader_case& c, std::ostream* os) {
    *os << c.name;
}

class LoaderStage : public testing::TestWithParam<loader_case> {};

TEST_P(LoaderStage, SendsAndStores) {
    const loader_case& c = GetParam();
    usb_devsim devsim(device(c.serial, c.options));
    enter(c.serial, c.sys_type, c.sys_new);

    int result = 0;
    captured out = capture_output([&] { result = loader_stage(run); });

    EXPECT_EQ(result, c.result);
    EXPECT_EQ(devsim.commands(), c.commands.v);
    EXPECT_EQ(out.out, std::string(kBanner) + "\n###Ver:" + c.verflag_shown + "\n" +
                           (c.skips_chain ? "###" : ""));
    EXPECT_EQ(out.err, c.err);
    if (c.resetxmbr >= 0) {
        EXPECT_EQ(run.resetxmbr, c.resetxmbr);
    }
}

const std::string kVerflagFailed = "getvar:verflag FAILED (remote: unknown variable)\n";
const std::string kCheckFailed = "FAILED (remote: crc mismatch)\n";
// a reboot's answer is not waited for; the queue ends its line
const std::string kReboot = "\n";

// clang-format off
std::vector<loader_case> loader_cases() {
    return {
        {"RefusedAt85", "067A0001", {"--var", "verflag=8.5"}, 2, 2, -1,
         sent().query("verflag", 2), "8.5", false, "###verflag:8.5\n", -1},
        {"RefusedAt96", "067A0001", {"--var", "verflag=9.6"}, 2, 2, -1,
         sent().query("verflag", 3), "9.6", false, "###verflag:9.6\n", -1},
        // porter3 here leads straight to a loader of the final generation
        {"EntersAtA9WithReconnectWaits", "067A0001",
         {"--var", "verflag=A.9", "--loader-verflag", "porter3=Z07"}, 2, 2, 0,
         sent()
             .query("verflag", 4)
             .checked("porter3", "xzprod")
             .block("xzuserpartition", 0x1941000, kDualCrc)
             .reconnect()
             .query("verflag", 3),
         "A.9", false, kReboot, 0},
        {"EntersAtY00WithReconnectWaits", "067A0001", {"--var", "verflag=Y00"}, 2, 2, 0,
         sent()
             .query("verflag", 6)
             .block("xzuserpartition", 0x61000, kDualCrc)
             .query("verflag")
             .checked("loader_belto", "xzprod")
             .reconnect()
             .query("verflag"),
         "Y00", false, kReboot, 1},
        // 8.5 would be refused by the chain; this model's old loader is replaced directly
        {"Model13GOldLoaderGoesToXzbadprodWithReconnectWaits", "13GA0001",
         {"--var", "verflag=8.5"}, 2, 1, 0,
         sent()
             .query("verflag", 2)
             .block("xzuserpartition", 0x61000, kDualCrc)
             .query("verflag")
             .checked("loader_belto", "xzbadprod")
             .reconnect()
             .query("verflag"),
         "8.5", true, kReboot, 0},
        // Z05 is below loader_belto's Z07: only loader_tiva's version makes it current
        {"Model07FRunsTiva", "07FA0001", {"--var", "verflag=Z05"}, 2, 2, 0,
         sent().query("verflag", 3), "Z05", true, "", 0},
        {"Model079CurrentLoader", "079A0001", {"--var", "verflag=Z07"}, 0, 0, 0,
         sent().query("verflag", 3), "Z07", true, "", 0},
        {"Model078ZGenerationGetsDoloadWithReconnectWaits", "078A0001",
         {"--var", "verflag=Z03"}, 2, 2, 0,
         sent()
             .query("verflag", 2)
             .set("doload", "1")
             .query("verflag")
             .checked("loader_tiva", "xzprod")
             .reconnect()
             .query("verflag"),
         "Z03", true, kReboot, 0},
        // a loader without the variable: the block without a check, the loader to "prod"
        {"NoVerflagWithReconnectWaits", "067A0001", {}, 2, 2, 0,
         sent()
             .query("verflag", 2)
             .block("userpartition", 0x61000)
             .query("verflag")
             .write("loader_belto", "prod")
             .reconnect()
             .query("verflag"),
         "", false, kVerflagFailed + kVerflagFailed + kVerflagFailed + kReboot, 1},
        // "bootmode" is asked before every attempt; each check fails
        {"PorterFollowsBootmodeAndFailsThreeChecks", "067A0001",
         {"--var", "verflag=8.0", "--var", "bootmode=diags", "--fault",
          "getvar:bootmode#2=status:OKAYmain", "--loader-check-fails", "porter=3"},
         2, 2, -1,
         sent()
             .query("verflag")
             .query("bootmode")
             .checked("porter", "xloader0_belto", 0xE41000)
             .query("bootmode")
             .checked("porter", "xloader_belto", 0x41000)
             .query("bootmode")
             .checked("porter", "xloader0_belto", 0xE41000),
         "8.0", false,
         kCheckFailed + kCheckFailed + kCheckFailed + "\nerror: loader checksum porter\n",
         -1},
        {"FinalLoaderFailsThreeChecks", "067A0001",
         {"--var", "verflag=Z03", "--loader-check-fails", "loader_belto=3"}, 2, 2, -1,
         sent()
             .query("verflag", 6)
             .set("doload", "1")
             .query("verflag")
             .checked("loader_belto", "xzprod")
             .checked("loader_belto", "xzprod")
             .checked("loader_belto", "xzprod"),
         "Z03", false,
         kCheckFailed + kCheckFailed + kCheckFailed + "\nerror: loader checksum loader\n",
         -1},
        {"RefusedPorter3WriteIsNotRetried", "067A0001",
         {"--var", "verflag=A.9", "--fault", "flash:xzprod=fail"}, 2, 2, -1,
         sent().query("verflag", 4).write("porter3", "xzprod"), "A.9", false,
         "FAILED (remote failure)\n\nerror: downloading porter3p\n", -1},
        // a refused query beside answered ones is no version: neither the old loader's (which
        // would reset "userpartition" unchecked) nor any other
        {"RefusedVerflagAmongAnswersIsUnclear", "067A0001",
         {"--var", "verflag=Y00", "--fault", "getvar:verflag#6=fail"}, 2, 2, -1,
         sent().query("verflag", 6), "Y00", false,
         "getvar:verflag FAILED (remote failure)\n"
         "\nerror: loader version unclear (verflag \"Y00\", then \"\")\n", -1},
        // a version once reported stays: a refused query after the block is still no answer
        {"RefusedVerflagAfterTheBlockIsUnclear", "067A0001",
         {"--var", "verflag=Y00", "--fault", "getvar:verflag#7=fail"}, 2, 2, -1,
         sent().query("verflag", 6).block("xzuserpartition", 0x61000, kDualCrc).query("verflag"),
         "Y00", false,
         "getvar:verflag FAILED (remote failure)\n"
         "\nerror: loader version unclear (verflag \"Y00\", then \"\")\n", -1},
        // the device comes back from nothing with a loader that is not of the Z generation
        {"FinalVersionNotReached", "13GA0001",
         {"--var", "verflag=Z07", "--fault", "getvar:verflag#3=status:OKAYY99"}, 2, 2, -1,
         sent().query("verflag", 3), "Z07", true,
         "\nerror: the device's loader reports \"Y99\", older than the final loader's Z07\n", 0},
        // of the Z generation, but still the loader it had: the upgrade did not take
        {"ZGenerationNotRaised", "067A0001",
         {"--var", "verflag=Z03", "--loader-verflag", "loader_belto=Z03"}, 2, 2, -1,
         sent()
             .query("verflag", 6)
             .set("doload", "1")
             .query("verflag")
             .checked("loader_belto", "xzprod")
             .reconnect()
             .query("verflag"),
         "Z03", false,
         kReboot + "\nerror: the device's loader reports \"Z03\", older than the final loader's Z07\n",
         0},
        {"RefusedDoload", "067A0001", {"--var", "verflag=Z03", "--fault", "setvar:doload*=fail"},
         2, 2, -1, sent().query("verflag", 6).set("doload", "1"), "Z03", false,
         "setvar:doload 1 FAILED (remote failure)\n\nerror: setting doload\n", -1},
        // an old loader without the variable reports one once its block is written: that answer
        // starts afresh, and the final loader goes where a loader of that version is checked
        {"VerflagAnsweredAfterTheBlockGoesToXzprod", "067A0001",
         {"--fault", "getvar:verflag#3=status:OKAYY01"}, 2, 2, 0,
         sent()
             .query("verflag", 2)
             .block("userpartition", 0x61000)
             .query("verflag")
             .checked("loader_belto", "xzprod")
             .reconnect()
             .query("verflag"),
         "", false, kVerflagFailed + kVerflagFailed + kReboot, 1},
    };
}
// clang-format on

INSTANTIATE_TEST_SUITE_P(Cases, LoaderStage, testing::ValuesIn(loader_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LoaderStageChain, From80ThroughEveryStageWithReconnectWaits) {
    usb_devsim devsim(device("067A0001", {"--var", "verflag=8.0", "--var", "bootmode=main"}));
    enter("067A0001", 2, 2);

    int result = 0;
    captured out = capture_output([&] { result = loader_stage(run); });

    EXPECT_EQ(result, 0);
    EXPECT_EQ(out.err, std::string(5, '\n')) << "the five reboots' lines only";
    EXPECT_EQ(out.out, std::string(kBanner) + "\n###Ver:8.0\n");
    const std::vector<std::string> expected = sent()
                                                  .query("verflag")
                                                  .query("bootmode")
                                                  .checked("porter", "xloader_belto", 0x41000)
                                                  .reconnect()
                                                  .query("verflag")
                                                  .checked("porter1", "xzprod")
                                                  .reconnect()
                                                  .query("verflag")
                                                  .checked("porter2", "xzprod")
                                                  .reconnect()
                                                  .query("verflag")
                                                  .checked("porter3", "xzprod")
                                                  .block("xzuserpartition", 0x1941000, kDualCrc)
                                                  .reconnect()
                                                  .query("verflag", 2)
                                                  .block("xzuserpartition", 0x61000, kDualCrc)
                                                  .query("verflag")
                                                  .checked("loader_belto", "xzprod")
                                                  .reconnect()
                                                  .query("verflag")
                                                  .v;
    EXPECT_EQ(devsim.commands(), expected);
    EXPECT_EQ(run.resetxmbr, 1);
    EXPECT_EQ(run.verflaglen, 3);
    EXPECT_EQ(devsim.partition("dev", "xloader_belto"), bytes_of("porter"));
    EXPECT_EQ(devsim.partition("dev", "xzprod").substr(0, image("loader_belto").size),
              bytes_of("loader_belto"));
    const std::string user = devsim.partition("dev", "xzuserpartition");
    const std::string dual = config_block("dualdual");
    EXPECT_EQ(user.substr(0x61000, 1024), dual);
    EXPECT_EQ(user.substr(0x1941000, 1024), dual);
}

struct config_case {
    const char* name;
    int systype;
    const char* part;
    int addr;
    int check;
    std::vector<std::string> options;
    int result;
    std::vector<std::string> commands;
    std::string err;
    std::string stored;  // the block the device holds at addr, empty when nothing is looked at
};

void PrintTo(const config_case& c, std::ostream* os) {
    *os << c.name;
}

class ResetConfig : public testing::TestWithParam<config_case> {};

TEST_P(ResetConfig, WritesTheBlock) {
    const config_case& c = GetParam();
    usb_devsim devsim(device("067A0001", c.options));
    // a run of its own: the last test's run holds a handle to that test's device
    run = InstallRun{};
    int result = 0;
    captured out =
        capture_output([&] { result = reset_config(run, c.systype, c.addr, c.part, c.check); });
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(out.out, "");
    EXPECT_EQ(out.err, c.err);
    EXPECT_EQ(devsim.commands(), c.commands);
    if (!c.stored.empty()) {
        EXPECT_EQ(devsim.partition("dev", c.part).substr(static_cast<size_t>(c.addr)), c.stored);
    }
}

const std::string kFailed = "FAILED (remote failure)\n";
const std::string kFlashUser = "flash:xzuserpartition:1941000";
const std::string kCheckUser = "check:xzuserpartition:1941000 1941000 400 ";

// clang-format off
std::vector<config_case> config_cases() {
    return {
        {"DualChecked", 2, "xzuserpartition", 0x61000, 1, {}, 0,
         sent().block("xzuserpartition", 0x61000, kDualCrc).v, "", config_block("dualdual")},
        {"SecondSystemUnchecked", 1, "userpartition", 0x61000, 0, {"--fault", "check:*=fail"}, 0,
         sent().block("userpartition", 0x61000).v, "", config_block("tessttes")},
        {"NativeCheckFailsThreeTimes", 0, "xzuserpartition", 0x1941000, 1,
         {"--fault", "check:*=fail"}, -1,
         [] {
             std::vector<std::string> v;
             const std::string crc = hex(GetBufferCRC(config_block(kEmpty).data(), 1024));
             for (int i = 0; i < 3; ++i) v.insert(v.end(), {"download:00000400", kFlashUser,
                                                             kCheckUser + crc});
             return v;
         }(),
         kFailed + kFailed + kFailed + "error retry.\n",
         config_block(kEmpty)},
        {"RefusedWriteIsNotRetried", 2, "xzuserpartition", 0x1941000, 1,
         {"--fault", "flash:*=fail"}, -1, {"download:00000400", kFlashUser},
         kFailed + "error: downloading xzuserpartition:1941000\n",
         ""},
    };
}
// clang-format on

INSTANTIATE_TEST_SUITE_P(Cases, ResetConfig, testing::ValuesIn(config_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
