// Whole installs on devices of the other families, end to end: the loader chain or a current
// loader, the partition tables, the package files for the plan, the marker and the reboot. A run
// that ends as done leaves every package file of its plan in its partition; a run that fails
// never prints "完成" and never reboots the device.
#include <algorithm>
#include <cstdio>

#include "check/crc32.h"
#include "e2e/flow_e2e.h"
#include "support/temp_dir.h"

namespace {

using namespace flow_e2e;

struct InstallCase {
    const char* name;
    const char* serial;
    std::string verflag;
    std::vector<const char*> files;  // each written with its .sign beside it
    std::vector<std::string> args;
    std::vector<std::string> faults;
    bool done;
    // package file -> partition, for the files a done run must leave on the device
    std::vector<std::pair<const char*, const char*>> written;
    std::vector<std::string> marker;             // the last setvar commands before the reboot
    std::vector<std::string> device = {};        // more of the device's options
    const char* config = "vrx3\n";               // config.bin's first line
    std::vector<std::string> listed_first = {};  // other devices, listed before it
    std::string err_line = {};                   // a line standard error must hold
};

std::string crc_text(const std::string& bytes) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x",
                  GetBufferCRC(bytes.data(), static_cast<uint32_t>(bytes.size())));
    return text;
}

size_t count(std::string_view text, std::string_view part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string_view::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

void run_install(const InstallCase& c) {
    SCOPED_TRACE(c.name);
    Package pkg;
    pkg.config(c.config);
    for (const char* f : c.files) {
        pkg.file(f, 70000);
        std::string name = f;
        std::string sign = name.substr(0, name.size() - 4) + ".sign";
        std::FILE* out = std::fopen((pkg.path() / sign).c_str(), "w");
        ASSERT_NE(out, nullptr);
        std::fprintf(out, "%s\n", crc_text(support::read_file(pkg.path() / f)).c_str());
        std::fclose(out);
    }
    support::TempDir storage;
    std::vector<std::string> args = c.listed_first;
    args.insert(args.end(),
                {"--storage", storage.path().string(), "--device", "d", "--serial", c.serial,
                 "--var", "product=VRX3", "--var", std::string("verflag=") + c.verflag, "--var",
                 "bootmode=main", "--var", "systype=sing"});
    for (const auto& f : c.faults) args.insert(args.end(), {"--fault", f});
    args.insert(args.end(), c.device.begin(), c.device.end());
    support::Devsim dev(args);

    auto r = run(dev, pkg, c.args);
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(r.timed_out);
    // a line is the installer's alone, whatever the device's answers hold
    EXPECT_EQ(count(r.out, kAllDone), 1U) << r.out;
    if (!c.err_line.empty()) {
        EXPECT_NE(r.err.find(c.err_line), std::string::npos) << r.err;
    }
    // whatever else is plugged in is never sent a command
    for (const auto& line : dev.transcript()) {
        if (line.find(R"("ev":"command")") == std::string::npos) continue;
        EXPECT_TRUE(line.starts_with(R"({"dev":"d",)")) << line;
    }
    const auto commands = dev.commands();
    const bool rebooted = !commands.empty() && commands.back() == "reboot";
    if (c.done) {
        const std::string end = e2e::gbk("\n###完成！Rebooting!\n") + kAllDone;
        ASSERT_GE(r.out.size(), end.size()) << r.out;
        EXPECT_EQ(r.out.substr(r.out.size() - end.size()), end);
        EXPECT_EQ(count(r.out, e2e::gbk("\n###完成")), 1U) << r.out;
        EXPECT_TRUE(rebooted);
        for (const auto& [file, partition] : c.written) {
            EXPECT_EQ(support::read_file(storage.path() / "d" / partition),
                      support::read_file(pkg.path() / file))
                << file << " in " << partition;
        }
        ASSERT_GE(commands.size(), c.marker.size() + 1);
        EXPECT_EQ(std::vector<std::string>(commands.end() - 1 - static_cast<long>(c.marker.size()),
                                           commands.end() - 1),
                  c.marker);
    } else {
        EXPECT_EQ(r.out.find(e2e::gbk("完成")), std::string::npos) << r.out;
        const std::string end = kDownloadingError + kAllDone;
        ASSERT_GE(r.out.size(), end.size()) << r.out;
        EXPECT_EQ(r.out.substr(r.out.size() - end.size()), end);
        // a reboot may have been asked for and refused; none took place
        const auto t = dev.transcript();
        EXPECT_EQ(std::find(t.begin(), t.end(), R"({"dev":"d","ev":"reboot"})"), t.end());
        EXPECT_NE(r.err.find("\nerror: "), std::string::npos) << r.err;
    }
}

const std::vector<const char*> kBoth = {"system.bin",  "var.bin",   "kernel.bin", "data.bin",
                                        "esystem.bin", "edata.bin", "vemkit.bin"};
const std::vector<const char*> kBothVariant = {"system.bin", "var.bin",     "kernel.bin",
                                               "data.bin",   "esystem.bin", "edata.bin",
                                               "vemkit.bin", "ver32g.bin"};
const std::vector<std::pair<const char*, const char*>> kBothWritten = {
    {"system.bin", "xzsystem"}, {"var.bin", "xzvar"},        {"kernel.bin", "xzkernel"},
    {"data.bin", "xzvfat"},     {"esystem.bin", "xesystem"}, {"edata.bin", "xedata"},
    {"vemkit.bin", "xevemkit"}};

// A current loader: no chain, no reboot before the package.
TEST(FlowFamilyInstall, CurrentLoaderEachEnding) {
    const InstallCase cases[] = {
        {"both systems with a wipe",
         "067A0001",
         "Z07",
         kBoth,
         {"1", "2"},
         {},
         true,
         kBothWritten,
         {"setvar:systype dual", "setvar:recvmode recvrecv"}},
        {"native upgrade keeps the user data",
         "067A0001",
         "Z07",
         {"system.bin", "var.bin", "kernel.bin", "data.bin"},
         {"1", "1"},
         {},
         true,
         {{"system.bin", "xzsystem"}, {"var.bin", "xzvar"}, {"kernel.bin", "xzkernel"}},
         {"setvar:systype sing"}},
        {"refused system-type marker",
         "067A0001",
         "Z07",
         kBoth,
         {"1", "2"},
         {"setvar:systype *=fail"},
         false,
         {},
         {}},
        {"closing reboot refused: the device does not start the new system",
         "067A0001",
         "Z07",
         kBoth,
         {"1", "2"},
         {"reboot=fail"},
         false,
         {},
         {}},
        // the 4 GB unit asked for the 32 GB variant: one that keeps its board id would be given
        // its own tables again and the run would end as if it had switched
        {"variant switch refused",
         "067A0001",
         "Z07",
         kBothVariant,
         {"1", "2"},
         {"setvar:respcb *=fail"},
         false,
         {},
         {},
         {"--respcb-serial", "13G=13G0001"}},
        {"variant switch: loading the new board id refused",
         "067A0001",
         "Z07",
         kBothVariant,
         {"1", "2"},
         {"setvar:doload *=fail"},
         false,
         {},
         {},
         {"--respcb-serial", "13G=13G0001"}},
        // a device whose answers carry line ends and "###" lines of their own: they are printed as
        // its text, and the run ends as the same device's with a plain "Z07" would
        {"answers that forge the installer's lines",
         "067A0001",
         "Z07" + e2e::gbk("\n###完成！\n###All Done."),
         kBoth,
         {"1", "2"},
         {"getvar:verflag=info:x" + e2e::gbk("\n###完成！Rebooting!\n###All Done.")},
         true,
         kBothWritten,
         {"setvar:systype dual", "setvar:recvmode recvrecv"},
         {},
         "vrx3\n",
         {},
         "(bootloader) x\\x0a###" + e2e::gbk("完成！Rebooting!") + "\\x0a###All Done.\n"},
        {"kernel check fails on the device",
         "067A0001",
         "Z07",
         kBoth,
         {"1", "2"},
         {"check:xzkernel*=fail"},
         false,
         {},
         {}},
    };
    for (const auto& c : cases) run_install(c);
}

// The whole loader chain from "8.0": four reboots with the installer's fixed waits. A second
// reader of the same model and serial number, plugged in while the first restarts in the middle
// of the chain and listed before it, is left alone: the run follows the device it found first.
// A loader that restarts on every reboot before it answers goes up the chain all the same.
TEST(FlowFamilyInstall, WholeChainFromOldestLoaderWithReconnectWaits) {
    const std::vector<std::string> second = {
        "--device",     "c",     "--serial",    "067A0001",           "--var",
        "product=VRX3", "--var", "verflag=8.0", "--appear-at-reboot", "d#2"};
    struct Variant {
        const char* name;
        std::vector<std::string> others, faults;
        std::string err_line;
    };
    const Variant variants[] = {
        {"chain then both systems", {}, {}, ""},
        {"second device plugged in", second, {}, "another device 067A0001 at "},
        {"every reboot unanswered, the device restarting", {}, {"reboot=restart"}, ""},
    };
    for (const Variant& v : variants) {
        run_install({v.name,
                     "067A0001",
                     "8.0",
                     kBoth,
                     {"1", "2"},
                     v.faults,
                     true,
                     kBothWritten,
                     {"setvar:systype dual", "setvar:recvmode recvrecv"},
                     {},
                     "vrx3\n",
                     v.others,
                     v.err_line});
    }
}

// The device started with nothing but its serial number: the second system's partition table and
// kernel are checked where that model's storage layout puts them, the variant switch's new layout
// included.
TEST(FlowFamilyInstall, EachStorageLayoutFromTheSerialNumberAlone) {
    const std::pair<const char*, const char*> models[] = {{"02E0001", "vrx2\n"},
                                                          {"02A0001", "vrx2\n"},
                                                          {"13G0001", "vrx3\n"},
                                                          {"07F0001", "tamso\n"},
                                                          {"068A0001", "vrx3\n"}};
    // the user-data image some storage sizes take from a file of their own is left out here
    auto written = kBothWritten;
    std::erase_if(written, [](const auto& w) { return std::string_view(w.first) == "data.bin"; });
    InstallCase c{"",    "",         "Z07",
                  kBoth, {"1", "2"}, {},
                  true,  written,    {"setvar:systype dual", "setvar:recvmode recvrecv"}};
    for (const auto& [serial, config] : models) {
        c.name = c.serial = serial;
        c.config = config;
        run_install(c);
    }
    c.name = "variant switch to the 32 GB layout";
    c.serial = "067A0001";
    c.config = "vrx3\n";
    c.files = kBothVariant;
    c.device = {"--respcb-serial", "13G=13G0001"};
    run_install(c);
}

}  // namespace
