// Which device the installer talks to, end to end through the simulated link: the vendor list,
// the interface class triple and endpoint count, the serial number rules, waiting for a device
// that appears later, and a device that goes away in the middle of an exchange.
//
// Every run is in an empty directory (no config.bin): the installer identifies the device with
// "product" and "serialno" and stops, saying the package has no config.bin, which is enough to
// see which device it chose.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "e2e/harness.h"

namespace {

const std::string kNoConfig = "\nerror: config.bin is missing from the package\n";

using Args = std::vector<std::string>;

const std::vector<std::string> kIdentify = {"getvar:product", "getvar:serialno"};

std::string stop_lines() {
    return e2e::gbk("###固件错误(Device Not Match)!\n") + e2e::gbk("###退出(Exit)!\n");
}

// The commands each device received, by device name, from the transcript.
std::map<std::string, std::vector<std::string>> commands_by_device(const support::Devsim& sim) {
    std::map<std::string, std::vector<std::string>> out;
    for (const std::string& line : sim.transcript()) {
        if (line.find("\"ev\":\"command\"") == std::string::npos) continue;
        const std::string dev_key = "\"dev\":\"";
        const std::string text_key = "\"text\":\"";
        auto d = line.find(dev_key);
        auto t = line.find(text_key);
        if (d == std::string::npos || t == std::string::npos) continue;
        d += dev_key.size();
        t += text_key.size();
        out[line.substr(d, line.find('"', d) - d)].push_back(line.substr(t, line.rfind('"') - t));
    }
    return out;
}

e2e::RunResult identify(const support::Devsim& sim, const Args& args) {
    support::TempDir package;  // empty: no config.bin
    e2e::RunOptions options;
    options.args = args;
    options.cwd = package.path();
    options.devsim = &sim;
    options.timeout = std::chrono::milliseconds(20000);
    return e2e::run_installer(options);
}

Args device(const std::string& name, const std::string& serial, Args more = {}) {
    Args a = {"--device", name, "--serial", serial, "--var", "product=X"};
    a.insert(a.end(), more.begin(), more.end());
    return a;
}

Args join(std::initializer_list<Args> parts) {
    Args all;
    for (const Args& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

TEST(UsbDiscovery, DevicesThatAreNotTheBootloaderAreSkippedForTheOneThatIs) {
    struct Case {
        const char* name;
        Args first;  // listed first ("a"), never to be chosen
    };
    const Case cases[] = {
        {"vendor outside the list", {"--vendor", "1234"}},
        {"vendor next to a listed one", {"--vendor", "18d0"}},
        {"protocol 0x01", {"--protocol", "01"}},
        {"subclass 0x43", {"--subclass", "43"}},
        {"one endpoint", {"--endpoints", "1"}},
        {"three endpoints", {"--endpoints", "3"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        support::Devsim sim(join({device("a", "AAA1", c.first), device("b", "BBB1")}));
        auto r = identify(sim, {"1", "1"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "###doreboot:1\n###dofast:1\n" + stop_lines());
        EXPECT_EQ(r.err, kNoConfig);
        auto seen = commands_by_device(sim);
        EXPECT_EQ(seen.count("a"), 0U);
        EXPECT_EQ(seen["b"], kIdentify);
    }
}

TEST(UsbDiscovery, EveryListedVendorIsTaken) {
    // the first, a middle and the last of the list, and one written in capitals
    for (const char* vendor : {"18d1", "05c6", "0bb4", "0B05"}) {
        SCOPED_TRACE(vendor);
        support::Devsim sim(device("a", "AAA1", {"--vendor", vendor}));
        auto r = identify(sim, {"1", "1"});
        EXPECT_EQ(r.err, kNoConfig);
        EXPECT_EQ(commands_by_device(sim)["a"], kIdentify);
    }
}

TEST(UsbDiscovery, TheSerialArgumentChoosesTheDevice) {
    struct Case {
        const char* name;
        Args args;
        std::string serial_line;
        std::string chosen;
        bool tcp = support::Devsim::tcp_by_default();
    };
    const Case cases[] = {
        {"no serial: the first in order", {"1", "1"}, "", "a"},
        {"the second's serial", {"1", "1", "SIMB"}, "###serial:SIMB\n", "b"},
        {"the third's serial", {"1", "1", "SIMC"}, "###serial:SIMC\n", "c"},
        // device_path is always empty, so an empty serial text accepts any device
        {"empty serial", {"1", "1", ""}, "###serial:\n", "a"},
        // TESSARO_DEVSIM_ADDR in the order given, the link's frames over TCP
        {"the third's serial, devices over TCP", {"1", "1", "SIMC"}, "###serial:SIMC\n", "c", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        support::Devsim sim(join({device("a", "SIMA"), device("b", "SIMB"), device("c", "SIMC")}),
                            c.tcp);
        auto r = identify(sim, c.args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "###doreboot:1\n###dofast:1\n" + c.serial_line + stop_lines());
        EXPECT_EQ(r.err, kNoConfig);
        auto seen = commands_by_device(sim);
        EXPECT_EQ(seen.size(), 1U);
        EXPECT_EQ(seen[c.chosen], kIdentify);
    }
}

TEST(UsbDiscovery, AnUnreadableSerialIsEmpty) {
    struct Case {
        const char* name;
        Args args;
        std::string chosen;
    };
    const Case cases[] = {
        {"no serial argument takes it", {"1", "1"}, "a"},
        {"a serial argument passes it by", {"1", "1", "SIMB"}, "b"},
        {"an empty serial argument takes it", {"1", "1", ""}, "a"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        support::Devsim sim(
            join({{"--device", "a", "--no-serial", "--var", "product=X"}, device("b", "SIMB")}));
        auto r = identify(sim, c.args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, kNoConfig);
        EXPECT_EQ(commands_by_device(sim)[c.chosen], kIdentify);
    }
}

TEST(UsbDiscovery, ADeviceThatAppearsLaterIsWaitedForOnce) {
    support::Devsim sim(device("late", "LATE1", {"--appear-after", "3000"}));
    auto r = identify(sim, {"1", "1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "###doreboot:1\n###dofast:1\n" + stop_lines());
    EXPECT_EQ(r.err, "< waiting for device >\n" + kNoConfig);
    EXPECT_EQ(commands_by_device(sim)["late"], kIdentify);
}

TEST(UsbDiscovery, ADeviceThatIsNotTheBootloaderIsNeverTaken) {
    // the only device is of another vendor: the installer waits and is stopped
    support::Devsim sim(device("a", "AAA1", {"--vendor", "04e8"}));
    support::TempDir package;
    e2e::RunOptions options;
    options.args = {"1", "1"};
    options.cwd = package.path();
    options.devsim = &sim;
    options.timeout = std::chrono::milliseconds(3000);
    auto r = e2e::run_installer(options);
    EXPECT_TRUE(r.timed_out);
    // (standard output is not flushed before the wait, so it is lost with the killed run)
    EXPECT_EQ(r.err, "< waiting for device >\n");
    EXPECT_TRUE(commands_by_device(sim).empty());
}

// The link fails, as opposed to the device refusing: the query has no answer and the run stops
// there, though the device is back at once. (That the next exchange would open it afresh is
// the device handle's own test.)
TEST(UsbDiscovery, ADeviceThatGoesAwayMidExchangeEndsTheRun) {
    struct Case {
        const char* fault;
        std::string err;
    };
    const Case cases[] = {
        // gone on receiving the command: the command's write finds no device
        {"getvar:product#1=vanish:command",
         "getvar:product FAILED (command write failed (device gone))\n"},
        // gone before the final status: the status read finds no device
        {"getvar:product#1=vanish:status",
         "getvar:product FAILED (status read failed (device gone))\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        support::Devsim sim(device("a", "SIMA", {"--fault", c.fault}));
        auto r = identify(sim, {"1", "1"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "###doreboot:1\n###dofast:1\n\nDownloading Error!\n\n###All Done.");
        EXPECT_EQ(r.err, c.err + "\nerror: device stopped answering (getvar:product)\n");
        EXPECT_EQ(sim.commands(), std::vector<std::string>{"getvar:product"});
        bool gone = false, back = false;
        for (const auto& line : sim.transcript()) {
            gone = gone || line.find("\"ev\":\"gone\"") != std::string::npos;
            back = back || line.find("\"ev\":\"back\"") != std::string::npos;
        }
        EXPECT_TRUE(gone);
        EXPECT_TRUE(back);
    }
}

}  // namespace
