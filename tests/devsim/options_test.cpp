// The command line: what each option sets, and a clear error (exit status 2) for bad ones.
#include "devsim/options.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "devsim/cli.h"
#include "support/temp_dir.h"

namespace devsim_test {
namespace {

using devsim::parse_options;
using Args = std::vector<std::string>;

Args base(Args more) {
    Args a = {"--dir", "/tmp/x", "--device", "d0"};
    a.insert(a.end(), more.begin(), more.end());
    return a;
}

TEST(Options, Defaults) {
    auto r = parse_options(base({}));
    ASSERT_TRUE(r.config) << r.error;
    const auto& d = r.config->devices.at(0);
    EXPECT_EQ(r.config->dir, "/tmp/x");
    EXPECT_EQ(r.config->rate, 0u);
    EXPECT_TRUE(r.config->transcript.empty());
    EXPECT_TRUE(r.config->storage.empty());
    EXPECT_EQ(d.name, "d0");
    EXPECT_EQ(d.serial, "SIM0001");
    EXPECT_TRUE(d.serial_readable);
    EXPECT_EQ(d.vendor, 0x18d1);
    EXPECT_EQ(d.product, 0x4ee0);
    EXPECT_EQ(d.ifc_class, 0xff);
    EXPECT_EQ(d.ifc_subclass, 0x42);
    EXPECT_EQ(d.ifc_protocol, 0x03);
    EXPECT_EQ(d.endpoints, 2);
    EXPECT_EQ(d.reboot_delay_ms, 500u);
    EXPECT_EQ(d.appear_after_ms, 0u);
    EXPECT_EQ(d.vars.at("serialno"), "SIM0001");
    EXPECT_EQ(d.addresses.at("xzkernel"), 0x141000u);
}

TEST(Options, EveryOptionSetsItsField) {
    auto r = parse_options({"--dir",
                            "D",
                            "--transcript",
                            "T",
                            "--storage",
                            "S",
                            "--rate",
                            "60000000",
                            "--device",
                            "a",
                            "--serial",
                            "P00118X",
                            "--vendor",
                            "0x0bb4",
                            "--product",
                            "0c01",
                            "--class",
                            "fe",
                            "--subclass",
                            "1",
                            "--protocol",
                            "2",
                            "--endpoints",
                            "3",
                            "--var",
                            "product=RQ3",
                            "--var",
                            "verflag=Z05",
                            "--address",
                            "xzkernel=200000",
                            "--address",
                            "xznew=0xE2400000",
                            "--reboot-delay",
                            "20",
                            "--appear-after",
                            "300",
                            "--fault",
                            "reboot=away:1000",
                            "--device",
                            "b",
                            "--no-serial",
                            "--var",
                            "serialno=OTHER",
                            "--appear-at-reboot",
                            "a#2"});
    ASSERT_TRUE(r.config) << r.error;
    const auto& c = *r.config;
    EXPECT_EQ(c.transcript, "T");
    EXPECT_EQ(c.storage, "S");
    EXPECT_EQ(c.rate, 60000000u);
    ASSERT_EQ(c.devices.size(), 2u);
    const auto& a = c.devices[0];
    EXPECT_EQ(a.serial, "P00118X");
    EXPECT_EQ(a.vendor, 0x0bb4);
    EXPECT_EQ(a.product, 0x0c01);
    EXPECT_EQ(a.ifc_class, 0xfe);
    EXPECT_EQ(a.ifc_subclass, 0x01);
    EXPECT_EQ(a.ifc_protocol, 0x02);
    EXPECT_EQ(a.endpoints, 3);
    EXPECT_EQ(a.vars.at("product"), "RQ3");
    EXPECT_EQ(a.vars.at("verflag"), "Z05");
    EXPECT_EQ(a.vars.at("serialno"), "P00118X");
    EXPECT_EQ(a.addresses.at("xzkernel"), 0x200000u);
    EXPECT_EQ(a.addresses.at("xznew"), 0xE2400000u);
    EXPECT_EQ(a.addresses.at("xloader_belto"), 0x41000u);  // the other defaults stay
    EXPECT_EQ(a.reboot_delay_ms, 20u);
    EXPECT_EQ(a.appear_after_ms, 300u);
    ASSERT_EQ(a.faults.size(), 1u);
    EXPECT_EQ(a.faults[0].action, devsim::FaultAction::Away);
    const auto& b = c.devices[1];
    EXPECT_FALSE(b.serial_readable);
    EXPECT_EQ(b.serial, "SIM0001");
    EXPECT_EQ(b.vars.at("serialno"), "OTHER");
    EXPECT_EQ(b.appear_at_reboot_of, "a");
    EXPECT_EQ(b.appear_at_reboot_count, 2u);
    EXPECT_TRUE(b.faults.empty());
}

TEST(Options, LoaderOptionsChangeOneImageEach) {
    auto r = parse_options(
        base({"--loader-verflag", "porter=8.5", "--loader-check-fails", "loader_belto=3"}));
    ASSERT_TRUE(r.config) << r.error;
    const auto& d = r.config->devices[0];
    EXPECT_EQ(d.loader_verflags.at("porter"), "8.5");
    EXPECT_EQ(d.loader_verflags.at("porter1"), "9.9");  // the other defaults stay
    EXPECT_EQ(d.loader_check_fails.at("loader_belto"), 3u);
    EXPECT_EQ(d.loader_check_fails.count("porter"), 0u);
}

struct BadCase {
    const char* name;
    Args args;
    std::string error_has;
};

// test listings name a case by its name, not by its bytes
inline void PrintTo(const BadCase& c, std::ostream* os) {
    *os << c.name;
}

class BadOptions : public testing::TestWithParam<BadCase> {};

TEST_P(BadOptions, AreRefusedWithAReason) {
    auto r = parse_options(GetParam().args);
    EXPECT_FALSE(r.config);
    EXPECT_NE(r.error.find(GetParam().error_has), std::string::npos) << r.error;
}

INSTANTIATE_TEST_SUITE_P(
    Table, BadOptions,
    testing::Values(
        BadCase{"no_dir", {"--device", "a"}, "one of --dir and --listen is required"},
        BadCase{"dir_and_listen",
                {"--dir", "D", "--listen", "127.0.0.1:0", "--device", "a"},
                "one of --dir and --listen"},
        BadCase{"listen_not_an_address",
                {"--listen", "localhost:5000", "--device", "a"},
                "--listen needs an address A.B.C.D:PORT"},
        BadCase{"no_device", {"--dir", "D"}, "at least one --device"},
        BadCase{"device_option_first",
                {"--serial", "X", "--dir", "D", "--device", "a"},
                "--serial must follow a --device"},
        BadCase{"unknown_option", base({"--speed", "1"}), "unknown option '--speed'"},
        BadCase{"missing_value", base({"--serial"}), "--serial needs a value"},
        BadCase{"empty_dir", {"--dir", "", "--device", "a"}, "--dir needs a non-empty path"},
        BadCase{"device_name_with_slash", {"--dir", "D", "--device", "../a"}, "plain name"},
        BadCase{"device_name_empty", {"--dir", "D", "--device", ""}, "plain name"},
        BadCase{"duplicate_device", base({"--device", "d0"}), "two devices are named 'd0'"},
        BadCase{"vendor_too_big", base({"--vendor", "10000"}), "--vendor needs a hexadecimal"},
        BadCase{"vendor_not_hex", base({"--vendor", "xyz"}), "--vendor needs a hexadecimal"},
        BadCase{"class_too_big", base({"--class", "100"}), "--class needs a hexadecimal"},
        BadCase{"endpoints_not_number", base({"--endpoints", "two"}), "--endpoints needs"},
        BadCase{"endpoints_too_big", base({"--endpoints", "256"}), "--endpoints needs"},
        BadCase{"rate_negative", base({"--rate", "-5"}), "--rate needs"},
        BadCase{"var_without_equals", base({"--var", "product"}), "--var needs NAME=VALUE"},
        BadCase{"var_without_name", base({"--var", "=RQ3"}), "--var needs NAME=VALUE"},
        BadCase{"address_not_hex", base({"--address", "xzkernel=zz"}), "--address needs"},
        BadCase{"address_bad_partition", base({"--address", "a/b=10"}), "--address needs"},
        BadCase{"address_over_32_bits", base({"--address", "a=100000000"}), "--address needs"},
        BadCase{"delay_not_number", base({"--reboot-delay", "1s"}), "--reboot-delay needs"},
        BadCase{"serial_too_long", base({"--serial", std::string(256, 's')}), "longer than 255"},
        BadCase{"bad_fault", base({"--fault", "reboot=explode"}), "unknown action 'explode'"},
        BadCase{"respcb_serial_without_value", base({"--respcb-serial", "13G0001"}),
                "--respcb-serial needs VALUE=SERIAL"},
        BadCase{"loader_verflag_of_a_table", base({"--loader-verflag", "mbrdef=Z07"}),
                "--loader-verflag needs IMAGE=VERFLAG"},
        BadCase{"appear_at_own_reboot", base({"--appear-at-reboot", "d0"}),
                "needs another device's name"},
        BadCase{"appear_at_reboot_zero", base({"--appear-at-reboot", "d0#0"}),
                "--appear-at-reboot needs NAME or NAME#N"},
        BadCase{"loader_check_fails_not_number", base({"--loader-check-fails", "porter=x"}),
                "--loader-check-fails needs IMAGE=N"},
        BadCase{"replay_of_no_file", base({"--replay", "/nonexistent/trace"}),
                "--replay: /nonexistent/trace cannot be read"},
        BadCase{"replay_of_a_directory", base({"--replay", "/"}), "--replay: / cannot be read"},
        BadCase{"replay_of_no_exchange", base({"--replay", "/dev/null"}),
                "--replay: /dev/null holds no exchange with a device"}),
    [](const auto& info) { return std::string(info.param.name); });

struct FaultCase {
    const char* rule;
    bool ok;
    std::string pattern;
    uint32_t occurrence;
    devsim::FaultAction action;
    std::string text;
    uint32_t value;
};

// Before any --device, --replay makes the device "replay"; the options after it still apply, and
// the file's unused lines are named.
TEST(Options, ReplayMakesItsDevice) {
    support::TempDir dir;
    const auto trace = dir.write("trace",
                                 "{\"ev\":\"command\",\"text\":\"getvar:product\"}\n"
                                 "{\"ev\":\"reply\",\"text\":\"OKAYVRX3\"}\nrubbish\n");
    auto r = parse_options({"--dir", "D", "--replay", trace.string(), "--reboot-delay", "30"});
    ASSERT_TRUE(r.config) << r.error;
    ASSERT_EQ(r.config->devices.size(), 1U);
    const auto& d = r.config->devices[0];
    EXPECT_EQ(d.name, "replay");
    EXPECT_EQ(d.reboot_delay_ms, 30U);
    EXPECT_EQ(d.vars.at("product"), "VRX3");
    EXPECT_EQ(r.notes,
              std::vector<std::string>{trace.string() + " line 3: not a JSON object; skipped"});
}

TEST(FaultSpecs, ParseIntoPatternOccurrenceAndAction) {
    using A = devsim::FaultAction;
    const FaultCase table[] = {
        {"getvar:product=fail", true, "getvar:product", 0, A::Fail, "", 0},
        {"*=fail:bad partition", true, "*", 0, A::Fail, "bad partition", 0},
        {"flash:xzsystem*#3=status:okay", true, "flash:xzsystem*", 3, A::Status, "okay", 0},
        {"*=status:", true, "*", 0, A::Status, "", 0},
        {"*=info:a:b", true, "*", 0, A::Info, "a:b", 0},
        {"download:*=data-count:800", true, "download:*", 0, A::DataCount, "", 0x800},
        {"download:*=short-write:512", true, "download:*", 0, A::ShortWrite, "", 512},
        {"*=silence:1500", true, "*", 0, A::Silence, "", 1500},
        {"*=vanish:command", true, "*", 0, A::VanishCommand, "", 0},
        {"*=vanish:data:4096", true, "*", 0, A::VanishData, "", 4096},
        {"*=vanish:status", true, "*", 0, A::VanishStatus, "", 0},
        {"flash:xzkernel=corrupt", true, "flash:xzkernel", 0, A::Corrupt, "", 0},
        {"reboot=away:5000", true, "reboot", 0, A::Away, "", 5000},
        {"*=oversize:65536", true, "*", 0, A::Oversize, "", 65536},
        {"*=flood:1000", true, "*", 0, A::Flood, "", 1000},
        {"reboot=serial:OTHER1", true, "reboot", 0, A::Reserial, "OTHER1", 0},
        {"reboot=restart", true, "reboot", 0, A::Restart, "", 0},
        // faults that cannot be read
        {"getvar:product", false, "", 0, A::Fail, "", 0},
        {"=fail", false, "", 0, A::Fail, "", 0},
        {"x#0=fail", false, "", 0, A::Fail, "", 0},
        {"x#two=fail", false, "", 0, A::Fail, "", 0},
        {"x=status", false, "", 0, A::Fail, "", 0},
        {"x=info", false, "", 0, A::Fail, "", 0},
        {"x=data-count:xyz", false, "", 0, A::Fail, "", 0},
        {"x=short-write", false, "", 0, A::Fail, "", 0},
        {"x=silence:-1", false, "", 0, A::Fail, "", 0},
        {"x=vanish", false, "", 0, A::Fail, "", 0},
        {"x=vanish:later", false, "", 0, A::Fail, "", 0},
        {"x=vanish:data:", false, "", 0, A::Fail, "", 0},
        {"x=corrupt:3", false, "", 0, A::Fail, "", 0},
        {"x=away:5s", false, "", 0, A::Fail, "", 0},
        {"x=oversize:3", false, "", 0, A::Fail, "", 0},
        {"x=oversize:65537", false, "", 0, A::Fail, "", 0},
        {"x=flood", false, "", 0, A::Fail, "", 0},
        {"x=serial", false, "", 0, A::Fail, "", 0},
        {"x=restart:now", false, "", 0, A::Fail, "", 0},
    };
    for (const auto& c : table) {
        auto r = devsim::parse_fault(c.rule);
        ASSERT_EQ(r.fault.has_value(), c.ok) << c.rule << ": " << r.error;
        if (!c.ok) {
            EXPECT_NE(r.error.find(c.rule), std::string::npos) << r.error;
            continue;
        }
        EXPECT_EQ(r.fault->pattern, c.pattern) << c.rule;
        EXPECT_EQ(r.fault->occurrence, c.occurrence) << c.rule;
        EXPECT_EQ(r.fault->action, c.action) << c.rule;
        EXPECT_EQ(r.fault->text, c.text) << c.rule;
        EXPECT_EQ(r.fault->value, c.value) << c.rule;
    }
}

// runs the program's main function with the arguments; standard error is returned in `err`
int run_main(Args args, std::string& err) {
    args.insert(args.begin(), "tessaro-devsim");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    testing::internal::CaptureStderr();
    int status = devsim::devsim_main(static_cast<int>(args.size()), argv.data());
    err = testing::internal::GetCapturedStderr();
    return status;
}

TEST(Program, BadOptionsExitWithStatus2AndSayWhy) {
    std::string err;
    EXPECT_EQ(run_main({"--dir", "/tmp/x", "--device", "a", "--vendor", "nope"}, err), 2);
    EXPECT_NE(err.find("tessaro-devsim: --vendor needs a hexadecimal number"), std::string::npos)
        << err;
    EXPECT_NE(err.find("usage: tessaro-devsim --dir DIR"), std::string::npos) << err;
}

TEST(Program, SetUpFailureExitsWithStatus1) {
    std::string err;
    // a regular file where the socket directory should be
    EXPECT_EQ(run_main({"--dir", "/proc/self/status/x", "--device", "a"}, err), 1);
    EXPECT_NE(err.find("tessaro-devsim: cannot create"), std::string::npos) << err;
}

}  // namespace
}  // namespace devsim_test
