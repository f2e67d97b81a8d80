// Start-up and identification, end to end: the argument lines, a package for another model,
// an unknown device, a package without "config.bin", choosing one of two devices by serial
// number, and --help / --version.
#include "e2e/flow_e2e.h"
#include "installer/boardtype/model_table.h"
#include "payload/payload.h"

namespace {

using namespace flow_e2e;

const std::vector<std::string> kIdentityQueries = {"getvar:product", "getvar:serialno"};

std::vector<std::string> device(const char* serial) {
    return {"--device", "d", "--serial", serial, "--var", "product=X"};
}

std::string not_match() {
    return lines({"###固件错误(Device Not Match)!", "###退出(Exit)!"});
}

TEST(FlowIdentify, ArgumentLinesShowTheNumbersRead) {
    struct Case {
        std::vector<std::string> args;
        std::string lines;
    };
    const Case cases[] = {
        // no arguments: nothing printed (and the run ends before any wait)
        {{}, ""},
        {{"0"}, "###doreboot:0\n"},
        {{"0", "1"}, "###doreboot:0\n###dofast:1\n"},
        {{"-2", "+7", "P00118ZZ", "more", "args"},
         "###doreboot:-2\n###dofast:7\n###serial:P00118ZZ\n"},
        {{"99999999999", "-0"}, "###doreboot:2147483647\n###dofast:0\n"},
        {{"-99999999999999999999999", "0000000000000000000000000001"},
         "###doreboot:-2147483648\n###dofast:1\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        Package pkg;
        pkg.config("vrx3\n");  // for another model: the run ends right after identification
        support::Devsim dev(device("P00118ZZ"));
        auto r = run(dev, pkg, c.args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, c.lines + e2e::gbk("###当前机型(Device)：pagora8\n") +
                             e2e::gbk("###当前固件(Firmware)：vrx3\n") + "\n" + not_match());
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(dev.commands(), kIdentityQueries);
    }
}

// Each refusal keeps its standard-output lines and says why on standard error.
TEST(FlowIdentify, PackageRefusedOrDeviceUnknown) {
    struct Case {
        const char* name;
        const char* serial;
        const char* config;  // null: no config.bin
        std::string lines;
        std::string err;                       // how standard error begins
        std::vector<std::string> device = {};  // more of the device's options
    };
    const std::string unknown = "\nerror: board id ABC123 begins with none of the known codes: ";
    const Case cases[] = {
        {"tamso device, belto package", "07F123", "belto",
         e2e::gbk("###当前机型(Device)：tamso\n") + e2e::gbk("###当前固件(Firmware)：belto\n"), ""},
        {"vrx3 device, capitals", "13G0001", "VRX3\n",
         e2e::gbk("###当前机型(Device)：vrx3\n") + e2e::gbk("###当前固件(Firmware)：VRX3\n") + "\n",
         ""},
        {"unknown device", "ABC123", "pagora8\n", "###unknown device. INIT:1, PCBSN:ABC123\n",
         unknown},
        {"no serial number",
         "ABC123",
         "pagora8\n",
         "###unknown device. INIT:1, PCBSN:\n",
         "\nerror: the device answered no serial number\n",
         {"--var", "serialno="}},
        {"no config.bin", "P00118A", nullptr, "",
         "\nerror: config.bin is missing from the package\n"},
        {"empty config.bin", "P00118A", "", "", "\nerror: config.bin is empty\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Package pkg;
        if (c.config != nullptr) pkg.config(c.config);
        pkg.files({"system.bin", "kernel.bin"});
        std::vector<std::string> options = device(c.serial);
        options.insert(options.end(), c.device.begin(), c.device.end());
        support::Devsim dev(options);
        auto r = run(dev, pkg, {"1", "1"});
        EXPECT_EQ(r.status, 0);
        // no reboot, no closing sequence
        EXPECT_EQ(r.out, argument_lines(1, 1) + c.lines + not_match());
        if (c.err == unknown) {
            EXPECT_EQ(r.err.substr(0, c.err.size()), c.err);
            for (const board_model& row : board_models())
                for (std::string_view code : row.prefixes)
                    EXPECT_NE(r.err.find(code, c.err.size()), std::string::npos) << code;
        } else {
            EXPECT_EQ(r.err, c.err);
        }
        EXPECT_EQ(dev.commands(), kIdentityQueries);
    }
}

TEST(FlowIdentify, SerialArgumentChoosesTheDevice) {
    // two devices; the first in order would be taken without a serial number
    support::Devsim dev({"--device", "a", "--serial", "P00118AAA", "--var", "product=A", "--device",
                         "b", "--serial", "02A0000B", "--var", "product=B", "--var", "systype=tess",
                         "--var", "verflag=8.5"});
    Package pkg;
    pkg.config("vrx2\n").files({"esystem.bin", "vemkit.bin"});
    auto r = run(dev, pkg, {"1", "1", "02A0000B"});
    EXPECT_EQ(r.status, 0);
    const std::string start = "###doreboot:1\n###dofast:1\n###serial:02A0000B\n" + kBanner;
    EXPECT_EQ(r.out.substr(0, start.size()), start);
    for (const auto& line : dev.transcript())
        EXPECT_NE(line.find(R"("dev":"b")"), std::string::npos) << line;
    EXPECT_EQ(dev.commands(),
              (std::vector<std::string>{"getvar:product", "getvar:serialno", "getvar:systype",
                                        "getvar:verflag", "getvar:verflag"}));
}

// A DOREBOOT or DOFAST that is not a number must not start an install read as 0 ("-n 1" would
// flash and wipe with doreboot 0, dofast 1); a dry run's arguments are held to the same rule.
TEST(FlowIdentify, ArgumentThatIsNotANumberIsAUsageError) {
    struct Case {
        std::vector<std::string> args;
        std::string first_line;
    };
    const Case cases[] = {
        {{"-n", "1"}, "DOREBOOT must be a whole number, not '-n'"},
        {{"--dry-run", "1", "x"}, "DOFAST must be a whole number, not 'x'"},
        {{"--dry-run", "1", "1", "S", "more"}, "too many arguments"},
        {{"1", "3x"}, "DOFAST must be a whole number, not '3x'"},
        {{"1", "--help"}, "DOFAST must be a whole number, not '--help'"},
        {{"0", "+", "P00118ZZ"}, "DOFAST must be a whole number, not '+'"},
        {{""}, "DOREBOOT must be a whole number, not ''"},
        {{"0x10"}, "DOREBOOT must be a whole number, not '0x10'"},
        {{"1", " 1"}, "DOFAST must be a whole number, not ' 1'"},
        {{"1", "1e3"}, "DOFAST must be a whole number, not '1e3'"},
        {{"--list", "--jsn"}, "--list takes nothing after it but --json"},
    };
    Package pkg;
    pkg.config("pagora8\n").file("data.bin");
    support::Devsim dev(device("P00118ZZ"));
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        auto r = run(dev, pkg, c.args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "tessaro-installer: " + c.first_line +
                             "\nusage: tessaro-installer [DOREBOOT [DOFAST [SERIAL]]]\n"
                             "       tessaro-installer --dry-run [DOREBOOT [DOFAST [SERIAL]]]\n"
                             "       tessaro-installer --list [--json]\n"
                             "       tessaro-installer --help | -h | --version\n"
                             "Try 'tessaro-installer --help' for more.\n");
    }
    EXPECT_EQ(dev.commands(), std::vector<std::string>{});
}

TEST(FlowIdentify, HelpAndVersion) {
    e2e::RunOptions o;
    o.timeout = std::chrono::seconds(10);  // a run that waits for a device instead is a failure
    o.args = {"--help"};
    auto help = e2e::run_installer(o);
    EXPECT_EQ(help.status, 0);
    for (const char* word :
         {"DOREBOOT", "DOFAST", "SERIAL", "--list", "Exit status", "TESSARO_TRACE",
          "TESSARO_REPORT", "Upgrade&Wipe", "WIPED", "man tessaro-installer"})
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
    // one screen of 80 columns; the rest is in the manual page
    size_t lines = 0;
    for (size_t at = 0, end; (end = help.out.find('\n', at)) != std::string::npos; at = end + 1) {
        ++lines;
        EXPECT_LE(end - at, 80u) << help.out.substr(at, end - at);
    }
    EXPECT_LE(lines, 24u);

    o.args = {"-h", "ignored"};
    auto short_help = e2e::run_installer(o);
    EXPECT_EQ(short_help.status, 0);
    EXPECT_EQ(short_help.out, help.out);

    o.args = {"--version", "ignored"};
    auto version = e2e::run_installer(o);
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("tessaro-installer ", 0), 0u) << version.out;
    EXPECT_EQ(version.out.back(), '\n');
    // which loaders the build carries
    const std::string kind = payload_loader_firmware ? "device firmware" : "stand-in";
    EXPECT_NE(version.out.find("\nloaders: " + kind + "\n"), std::string::npos) << version.out;
}

// A descriptor closed at start-up must not become the device link: a menu would read the link,
// "###" lines or error lines would be sent to the device.
TEST(FlowIdentify, ClosedStandardDescriptorIsNotTheDeviceLink) {
    struct Case {
        const char* redirect;
        std::vector<std::string> args;
        std::string out;
        std::string err;
        bool menu_choice;  // the menu chose a plan, so the loader stage asks for "verflag"
    };
    const std::string banner = kBanner + e2e::gbk("\n###Tessaro系统升级，当前系统：原生系统\n");
    const std::string menu =
        lines({"###1.升级(Upgrade)；", "###0.退出(Exit)。"}) + e2e::gbk("###请选择(0-1):");
    // written while the exchange is still going on
    const std::string info = "(bootloader) on the link\n";
    // a loader the chain cannot start from ends the run at the loader stage
    const std::string loader = kBanner + "\n###Ver:8.5\n";
    const std::string loader_error = "###verflag:8.5\n";
    const Case cases[] = {
        // the menu reads the end of input, which is 0 (Exit)
        {"<&-", {"0", "-1"}, argument_lines(0, -1) + banner + menu + kAllDone, info, false},
        {">&-", {"0", "1"}, "", info + loader_error, true},
        {"2>&-",
         {"0", "1"},
         argument_lines(0, 1) + banner + menu + "1\n" + loader + kDownloadingError + kAllDone,
         "",
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.redirect);
        Package pkg;
        pkg.config("vrx2\n").files({"system.bin", "kernel.bin", "kernel.sign"});
        support::Devsim dev({"--device", "v", "--serial", "02A0001", "--var", "product=VRX2",
                             "--var", "systype=sing", "--var", "verflag=8.5", "--fault",
                             "getvar:serialno=info:on the link"});
        e2e::RunOptions o;
        o.args = {"-c", std::string("exec \"$0\" \"$@\" ") + c.redirect, e2e::installer_bin()};
        o.args.insert(o.args.end(), c.args.begin(), c.args.end());
        o.cwd = pkg.path();
        o.devsim = &dev;
        o.timeout = std::chrono::seconds(15);
        auto r = e2e::run_program("/bin/bash", o);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        std::vector<std::string> commands = {"getvar:product", "getvar:serialno", "getvar:systype"};
        if (c.menu_choice) commands.insert(commands.end(), {"getvar:verflag", "getvar:verflag"});
        EXPECT_EQ(dev.commands(), commands);
    }
}

// A query that fails because the link failed is no answer: the run must not read the empty
// reply as "native system" or "old loader". A device that refuses the query does answer.
TEST(FlowIdentify, QueryOnALostLinkIsNoAnswer) {
    struct Case {
        const char* fault;
        bool rq3;
        std::vector<std::string> commands;
        std::string out;
        std::string err_end;
    };
    const std::vector<std::string> identity = kIdentityQueries;
    const std::string stopped = "\nDownloading Error!\n" + kAllDone;
    const Case cases[] = {
        {"getvar:verflag=vanish:command", true, concat({identity, {"getvar:verflag"}}), stopped,
         "\nerror: device stopped answering (getvar:verflag)\n"},
        {"getvar:serialno=vanish:command", true, identity, stopped,
         "\nerror: device stopped answering (getvar:serialno)\n"},
        {"getvar:systype=status:OK", false, concat({identity, {"getvar:systype"}}), stopped,
         "\nerror: device stopped answering (getvar:systype)\n"},
        // refused, and refused again when asked once more: an old loader, so the final loader is
        // written
        {"getvar:verflag=fail", true,
         concat({identity,
                 {"getvar:verflag", "getvar:verflag", "download:00033000", "flash:bootloader",
                  "download:00000bb8", "flash:cache", "reboot"}}),
         e2e::gbk("\n###完成！\n\n###系统重启..."), "getvar:verflag FAILED (remote failure)\n\n"},
        // refused once, then answered: no version to go by, nothing is written
        {"getvar:verflag#1=fail", true, concat({identity, {"getvar:verflag", "getvar:verflag"}}),
         stopped, "\nerror: loader version unclear (verflag \"\", then \"Z05\")\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        Package pkg;
        if (c.rq3) {
            pkg.config("pagora8\n").file("data.bin");
        } else {
            pkg.config("vrx2\n").files({"system.bin", "kernel.bin"});
        }
        std::vector<std::string> args = {"--device", "d", "--fault", c.fault, "--serial"};
        if (c.rq3) {
            args.insert(args.end(), {"P00118SIG", "--var", "product=RQ3", "--var", "verflag=Z05"});
        } else {
            args.insert(args.end(), {"02A0001", "--var", "product=VRX2", "--var", "systype=tess"});
        }
        support::Devsim dev(args);
        auto r = run(dev, pkg, {"1", "1"});
        EXPECT_EQ(r.status, 0);
        ASSERT_GE(r.out.size(), c.out.size()) << r.out;
        EXPECT_EQ(r.out.substr(r.out.size() - c.out.size()), c.out) << r.out;
        ASSERT_GE(r.err.size(), c.err_end.size()) << r.err;
        EXPECT_EQ(r.err.substr(r.err.size() - c.err_end.size()), c.err_end) << r.err;
        EXPECT_EQ(dev.commands(), c.commands);
    }
}

}  // namespace
