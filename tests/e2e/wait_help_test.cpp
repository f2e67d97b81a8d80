// What the installer says while it waits for its device on the simulated link: after a few quiet
// seconds, one line for each thing in the way (a bootloader with another serial number, a device
// it may not open, a device another program holds), and nothing once the device is there.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "e2e/harness.h"
#include "support/temp_dir.h"

namespace {

using Args = std::vector<std::string>;

enum class Block { OtherSerial, Refused, Busy };

struct WaitCase {
    const char* name;
    Block block;
    Args args;              // the installer's
    std::string help_line;  // with "@" for the blocked device's socket
};

void PrintTo(const WaitCase& c, std::ostream* os) {
    *os << c.name;
}

// a connection to a device's socket, which the device then serves instead of anyone else
base::unique_fd hold(const std::filesystem::path& socket) {
    base::unique_fd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socket.c_str(), sizeof addr.sun_path - 1);
    EXPECT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    char greeting = 0;
    EXPECT_EQ(::recv(fd.get(), &greeting, 1, 0), 1);  // the device has taken this connection
    return fd;
}

// Makes `socket` one this run may not open (the devices' sockets were made under umask 0).
// Root opens any socket: the installer then runs as nobody, who may pass into the directories
// and open every socket but this one. False when root cannot be dropped.
bool refuse(const std::filesystem::path& socket, const support::Devsim& sim,
            const support::TempDir& package, e2e::RunOptions& o, std::string& program) {
    EXPECT_EQ(::chmod(socket.c_str(), 0), 0);
    if (::geteuid() != 0) return true;
    std::filesystem::permissions(
        sim.socket_dir().parent_path(),
        std::filesystem::perms::owner_all | std::filesystem::perms::others_exec);
    std::filesystem::permissions(
        package.path(), std::filesystem::perms::owner_all | std::filesystem::perms::others_exec);
    o.args.insert(o.args.begin(),
                  {"--reuid=65534", "--regid=65534", "--clear-groups", e2e::installer_bin()});
    program = "/usr/bin/setpriv";
    return ::access(program.c_str(), X_OK) == 0;
}

class WaitHelp : public ::testing::TestWithParam<WaitCase> {};

TEST_P(WaitHelp, OneLinePerThingInTheWay) {
    const WaitCase& c = GetParam();
    // "a" is in the way from the start; "b" comes after the quiet seconds and is taken
    const Args devices = {"--device",       "a",   "--serial", "SIMA", "--var", "product=X",
                          "--device",       "b",   "--serial", "SIMB", "--var", "product=X",
                          "--appear-after", "6000"};
    // sockets any user may open, so that the refused one is refused for its own mode alone
    const mode_t mask = ::umask(0);
    support::Devsim sim(devices);
    ::umask(mask);
    const auto blocked = sim.socket_dir() / "a";

    support::TempDir package;  // empty: the run identifies the device and stops
    e2e::RunOptions o;
    o.args = c.args;
    o.cwd = package.path();
    o.devsim_dir = sim.socket_dir();
    o.timeout = std::chrono::seconds(20);
    std::string program = e2e::installer_bin();
    base::unique_fd holder;
    if (c.block == Block::Busy) holder = hold(blocked);
    if (c.block == Block::Refused && !refuse(blocked, sim, package, o, program)) {
        GTEST_SKIP() << "no setpriv to drop root";
    }
    const auto r = e2e::run_program(program, o);

    std::string line = c.help_line;
    if (const auto at = line.find('@'); at != std::string::npos) {
        line.replace(at, 1, blocked.string());
    }
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "< waiting for device >\n" + line +
                         "\nerror: config.bin is missing from the package\n");
    // the device that came is the one the run took
    EXPECT_NE(r.out.find("###doreboot:1\n###dofast:1\n"), std::string::npos) << r.out;
    const auto commands = sim.commands();
    EXPECT_EQ(commands, (Args{"getvar:product", "getvar:serialno"}));
}

INSTANTIATE_TEST_SUITE_P(
    SimulatedLink, WaitHelp,
    ::testing::Values(
        WaitCase{"other serial",
                 Block::OtherSerial,
                 {"1", "1", "SIMB"},
                 "waiting: a bootloader device with another serial number is there: SIMA (this "
                 "run waits for SIMB)\n"},
        WaitCase{"refused",
                 Block::Refused,
                 {"1", "1"},
                 "waiting: access refused to the simulated device @; give this user write access "
                 "to its socket, or run tessaro-devsim as this user\n"},
        WaitCase{"busy",
                 Block::Busy,
                 {"1", "1"},
                 "waiting: the simulated device @ is held by another program; end that program, "
                 "or give this run the SERIAL of another device\n"}),
    [](const auto& info) {
        std::string name = info.param.name;
        for (char& ch : name) ch = ch == ' ' ? '_' : ch;
        return name;
    });

}  // namespace

namespace {

// --list: every device asked only what it is, in the order of the sockets, then the ones that
// could not be opened; the same as JSON lines. A device that stops answering is told on standard
// error and left out.
TEST(ListDevices, EachDeviceOnceAskedOnlyWhatItIs) {
    Args devices;
    for (const Args& device : {
             Args{"a", "--serial", "067A0001", "--var", "product=VRX3", "--var", "verflag=8.0"},
             // the model is read from the "serialno" answer, as a run reads it
             Args{"b", "--serial", "SIMB", "--var", "serialno=13G0002", "--var", "verflag=Z07",
                  "--var", "systype=dual"},
             Args{"c", "--serial", "P00118X", "--var", "verflag=Z07", "--var", "systype=tess1"},
             Args{"d", "--serial", "ABC001", "--var", "systype=sing"},
             Args{"e", "--serial", "SIME"},
             Args{"f", "--serial", "SIMF"},
             Args{"g", "--serial", "SIMG", "--fault", "getvar:verflag=vanish:command"},
         }) {
        devices.push_back("--device");
        devices.insert(devices.end(), device.begin(), device.end());
    }
    const mode_t mask = ::umask(0);
    support::Devsim sim(devices);
    ::umask(mask);
    support::TempDir package;
    const std::string refused = (sim.socket_dir() / "e").string();
    const std::string busy = (sim.socket_dir() / "f").string();
    base::unique_fd holder = hold(sim.socket_dir() / "f");

    auto list = [&](Args args) {
        e2e::RunOptions o;
        o.args = std::move(args);
        o.cwd = package.path();
        o.devsim_dir = sim.socket_dir();
        o.timeout = std::chrono::seconds(10);
        std::string program = e2e::installer_bin();
        EXPECT_TRUE(refuse(refused, sim, package, o, program));
        return e2e::run_program(program, o);
    };
    if (::geteuid() == 0 && ::access("/usr/bin/setpriv", X_OK) != 0) {
        GTEST_SKIP() << "no setpriv to drop root";
    }
    const auto text = list({"--list"});
    const auto json = list({"--list", "--json"});

    const std::string lost =
        "list: the device SIMG stopped answering (getvar:verflag); it is not listed\n";
    // where each device hangs: its socket
    auto at = [&sim](const char* name) { return (sim.socket_dir() / name).string(); };
    EXPECT_EQ(text.status, 0);
    EXPECT_EQ(
        text.out,
        "device 067A0001: model vrx3, loader 8.0, system native, variant 4GB, path " + at("a") +
            "\ndevice SIMB: model vrx3, loader Z07, system dual, variant 32GB, path " + at("b") +
            "\ndevice P00118X: model pagora8, loader Z07, system second, path " + at("c") +
            "\ndevice ABC001: model unknown (no model has this board id), loader (none "
            "given), system native, path " +
            at("d") +
            "\n"
            "not opened: " +
            refused +
            ": Access refused to this user: give this user write "
            "access to its socket, or run tessaro-devsim as this user.\n"
            "not opened: " +
            busy +
            ": Held by another program (an install may be running on "
            "it): end that program, or wait for it to finish.\n");
    EXPECT_EQ(text.err, lost);
    EXPECT_EQ(json.status, 0);
    EXPECT_EQ(
        json.out,
        R"({"serial":"067A0001","model":"vrx3","loader":"8.0","system":"native","variant":"4GB","path":")" +
            at("a") +
            R"(","simulated":true})"
            "\n"
            R"({"serial":"SIMB","model":"vrx3","loader":"Z07","system":"dual","variant":"32GB","path":")" +
            at("b") +
            R"(","simulated":true})"
            "\n"
            R"({"serial":"P00118X","model":"pagora8","loader":"Z07","system":"second","variant":"","path":")" +
            at("c") +
            R"(","simulated":true})"
            "\n"
            R"({"serial":"ABC001","model":"","loader":"","system":"native","variant":"","path":")" +
            at("d") +
            R"(","simulated":true})"
            "\n"
            R"({"device":")" +
            refused +
            R"(","error":"refused","reason":"Access refused to this user: give this user write access to its socket, or run tessaro-devsim as this user."})"
            "\n"
            R"({"device":")" +
            busy +
            R"(","error":"busy","reason":"Held by another program (an install may be running on it): end that program, or wait for it to finish."})"
            "\n");
    EXPECT_EQ(json.err, lost);

    // queries only, each device asked once per listing
    const Args asked = {"getvar:product", "getvar:serialno", "getvar:verflag", "getvar:systype"};
    Args once;
    for (int device = 0; device < 4; ++device) once.insert(once.end(), asked.begin(), asked.end());
    once.insert(once.end(), asked.begin(), asked.begin() + 3);  // g, lost at verflag
    Args twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(sim.commands(), twice);

    // no device at all: nothing listed, and no wait for one
    e2e::RunOptions none;
    none.args = {"--list", "--json"};
    none.devsim_dir = package.path() / "no-devices";
    none.timeout = std::chrono::seconds(10);
    const auto empty = e2e::run_installer(none);
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(empty.out, "");
    EXPECT_EQ(empty.err, "");

    // a device that never answers holds up the listing for seconds, not for ever
    support::Devsim silent(
        {"--device", "s", "--serial", "SIMS", "--fault", "getvar:systype=silence:600000"});
    e2e::RunOptions stuck = none;
    stuck.devsim_dir = silent.socket_dir();
    const auto waited = e2e::run_installer(stuck);
    EXPECT_FALSE(waited.timed_out);
    EXPECT_EQ(waited.status, 0);
    EXPECT_EQ(waited.out, "");
    EXPECT_EQ(waited.err,
              "list: the device SIMS stopped answering (getvar:systype); it is not listed\n");
}

}  // namespace
