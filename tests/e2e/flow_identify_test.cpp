// Start-up and identification, end to end: the argument lines, a package for another model,
// an unknown device, a package without "config.bin", choosing one of two devices by serial
// number, and --help / --version.
#include "e2e/flow_e2e.h"

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
        {{"abc", "3x"}, "###doreboot:0\n###dofast:3\n"},
        {{"-2", "+7", "P00118ZZ", "more", "args"},
         "###doreboot:-2\n###dofast:7\n###serial:P00118ZZ\n"},
        {{"99999999999", "1"}, "###doreboot:2147483647\n###dofast:1\n"},
        // --help counts only as the first argument
        {{"1", "--help"}, "###doreboot:1\n###dofast:0\n"},
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

TEST(FlowIdentify, PackageRefusedOrDeviceUnknown) {
    struct Case {
        const char* name;
        const char* serial;
        const char* config;  // null: no config.bin
        std::string lines;
    };
    const Case cases[] = {
        {"tamso device, belto package", "07F123", "belto",
         e2e::gbk("###当前机型(Device)：tamso\n") + e2e::gbk("###当前固件(Firmware)：belto\n")},
        {"vrx3 device, capitals", "13G0001", "VRX3\n",
         e2e::gbk("###当前机型(Device)：vrx3\n") + e2e::gbk("###当前固件(Firmware)：VRX3\n") +
             "\n"},
        {"unknown device", "ABC123", "pagora8\n", "###unknown device. INIT:1, PCBSN:ABC123\n"},
        {"no config.bin", "P00118A", nullptr, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Package pkg;
        if (c.config != nullptr) pkg.config(c.config);
        pkg.files({"system.bin", "kernel.bin"});
        support::Devsim dev(device(c.serial));
        auto r = run(dev, pkg, {"1", "1"});
        EXPECT_EQ(r.status, 0);
        // no reboot, no closing sequence
        EXPECT_EQ(r.out, argument_lines(1, 1) + c.lines + not_match());
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(dev.commands(), kIdentityQueries);
    }
}

TEST(FlowIdentify, SerialArgumentChoosesTheDevice) {
    // two devices; the first in order would be taken without a serial number
    support::Devsim dev({"--device", "a", "--serial", "P00118AAA", "--var", "product=A", "--device",
                     "b", "--serial", "02A0000B", "--var", "product=B", "--var", "systype=tess"});
    Package pkg;
    pkg.config("vrx2\n").files({"esystem.bin", "vemkit.bin"});
    auto r = run(dev, pkg, {"1", "1", "02A0000B"});
    EXPECT_EQ(r.status, 0);
    const std::string start = "###doreboot:1\n###dofast:1\n###serial:02A0000B\n" + kBanner;
    EXPECT_EQ(r.out.substr(0, start.size()), start);
    for (const auto& line : dev.transcript())
        EXPECT_NE(line.find(R"("dev":"b")"), std::string::npos) << line;
    EXPECT_EQ(dev.commands(),
              (std::vector<std::string>{"getvar:product", "getvar:serialno", "getvar:systype"}));
}

TEST(FlowIdentify, HelpAndVersion) {
    e2e::RunOptions o;
    o.args = {"--help"};
    auto help = e2e::run_installer(o);
    EXPECT_EQ(help.status, 0);
    for (const char* word : {"DOREBOOT", "DOFAST", "SERIAL", "###", "TESSARO_DEVSIM_DIR", "SIGINT",
                             "SIGHUP", "SIGQUIT", "Exit status"})
        EXPECT_NE(help.out.find(word), std::string::npos) << word;

    o.args = {"--version", "ignored"};
    auto version = e2e::run_installer(o);
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("tessaro-installer ", 0), 0u) << version.out;
    EXPECT_EQ(version.out.back(), '\n');
}

}  // namespace
