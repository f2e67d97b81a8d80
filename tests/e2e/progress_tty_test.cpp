// The progress bar on a terminal: a file that goes in one data phase shows the bar moving
// during it, with bytes, rate and time left (through a pipe the same file shows only 100%). With
// standard error on it too, the loader chain's stages and restarts.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "e2e/flow_e2e.h"
#include "support/process.h"

namespace {

using namespace flow_e2e;

// Runs the installer with its standard output (and standard error, when `err_too`) on a
// terminal; what the terminal received.
std::string run_on_terminal(const Package& pkg, const support::Devsim& dev,
                            std::vector<std::string> args, bool err_too = false) {
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return "openpty failed";
    std::vector<std::string> argv = {e2e::installer_bin()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env = {"LC_ALL=C", "TESSARO_DEVSIM_DIR=" + dev.socket_dir().string()};
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, STDIN_FILENO);
        ::dup2(slave, STDOUT_FILENO);
        ::dup2(err_too ? slave : null, STDERR_FILENO);
        ::close(master);
        if (::chdir(pkg.path().c_str()) != 0) ::_exit(126);
        auto cargs = support::c_strings(argv);
        auto cenv = support::c_strings(env);
        ::execve(cargs[0], cargs.data(), cenv.data());
        ::_exit(127);
    }
    ::close(slave);
    std::string out;
    char buf[4096];
    for (int waited_ms = 0; waited_ms < 30000;) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 100) == 0) {
            waited_ms += 100;
            continue;
        }
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n <= 0) break;  // the program ended: the terminal's other side is closed
        out.append(buf, static_cast<size_t>(n));
    }
    ::close(master);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return out;
}

TEST(ProgressOnTerminal, TheBarMovesDuringOneDataPhase) {
    Package pkg;
    pkg.config("pagora8\n").file("system.bin", 4 << 20);
    // 8 MiB/s: the 4 MiB file takes half a second in one data phase
    support::Devsim dev({"--rate", "8388608", "--device", "rq3", "--serial", "P00118E2E0001",
                         "--var", "product=RQ3", "--var", "verflag=Z05"});
    const std::string out = run_on_terminal(pkg, dev, {"1", "1"});

    ASSERT_NE(out.find("###Downloading:system"), std::string::npos) << out;
    // a bar short of 100%, after the 0% drawn before the phase, with its figures
    const std::regex moving(
        R"(\] (0[1-9]|[1-9][0-9])% [0-9.]+/4\.0 MiB  [0-9.]+ MiB/s  0:0[0-9] left)");
    EXPECT_TRUE(std::regex_search(out, moving)) << out;
    // and the end of the file with every byte counted
    EXPECT_NE(out.find("] 100% 4.0/4.0 MiB"), std::string::npos) << out;
}

TEST(ProgressOnTerminal, TheLoaderChainsStagesOnStandardError) {
    Package pkg;
    pkg.config("vrx3\n").files({"system.bin", "kernel.bin"});
    // a loader of porter1's generation: two staged loaders, then the final one
    support::Devsim dev({"--device", "d", "--serial", "067A0TTY0001", "--var", "product=VRX3",
                         "--var", "verflag=A.0", "--var", "bootmode=main", "--var",
                         "systype=sing"});
    const std::string out = run_on_terminal(pkg, dev, {"1", "1"}, true);
    for (const char* line :
         {"Updating the loader: stage 1 of 2 (porter2)\r\n",
          "Restarting the device to start porter2 (3 s, then waiting for it)\r\n",
          "Updating the loader: stage 2 of 2 (porter3)\r\n",
          "Updating the loader: the final loader (loader_belto)\r\n"}) {
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
    }
}

}  // namespace
