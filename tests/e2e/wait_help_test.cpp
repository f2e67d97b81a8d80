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
    if (c.block == Block::Refused) {
        ASSERT_EQ(::chmod(blocked.c_str(), 0), 0);
        if (::geteuid() == 0) {
            // root opens any socket: the installer runs as nobody, who may pass into the
            // directories and open every socket but this one
            std::filesystem::permissions(
                sim.socket_dir().parent_path(),
                std::filesystem::perms::owner_all | std::filesystem::perms::others_exec);
            std::filesystem::permissions(package.path(), std::filesystem::perms::owner_all |
                                                             std::filesystem::perms::others_exec);
            o.args.insert(o.args.begin(), {"--reuid=65534", "--regid=65534", "--clear-groups",
                                           e2e::installer_bin()});
            program = "/usr/bin/setpriv";
            if (::access(program.c_str(), X_OK) != 0) GTEST_SKIP() << "no setpriv to drop root";
        }
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
