// The progress bar on a terminal: a file that goes in one data phase shows the bar moving
// during it, with bytes, rate and time left (through a pipe the same file shows only 100%). And
// the lines that only a person at a terminal is given on standard error: a failure's cause and
// next step, the loader chain's stages and restarts among them.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "e2e/flow_e2e.h"
#include "support/process.h"

namespace {

using namespace flow_e2e;

struct TerminalRun {
    std::string out;  // what the terminal received
    int status = -1;  // as waitpid gives it
};

// Runs the installer with its standard output on a terminal, and standard error too when
// `err_too`; once the terminal has shown `interrupt_at`, Ctrl+C (SIGINT) goes to it twice, a
// read of the terminal apart.
TerminalRun run_on_terminal(const Package& pkg, const support::Devsim& dev,
                            std::vector<std::string> args, bool err_too = false,
                            const std::string& interrupt_at = {}) {
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return {"openpty failed"};
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
    size_t interrupts = 0;
    for (int waited_ms = 0; waited_ms < 30000;) {
        // one at a time: two pending at once would be one
        if (!interrupt_at.empty() && interrupts < 2 &&
            out.find(interrupt_at) != std::string::npos) {
            ++interrupts;
            ::kill(pid, SIGINT);
        }
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
    return {out, status};
}

TEST(ProgressOnTerminal, TheBarMovesDuringOneDataPhase) {
    Package pkg;
    pkg.config("pagora8\n").file("system.bin", 4 << 20);
    // 8 MiB/s: the 4 MiB file takes half a second in one data phase
    support::Devsim dev({"--rate", "8388608", "--device", "rq3", "--serial", "P00118E2E0001",
                         "--var", "product=RQ3", "--var", "verflag=Z05"});
    const std::string out = run_on_terminal(pkg, dev, {"1", "1"}).out;

    ASSERT_NE(out.find("###Downloading:system"), std::string::npos) << out;
    // a bar short of 100%, after the 0% drawn before the phase, with its figures
    const std::regex moving(
        R"(\] (0[1-9]|[1-9][0-9])% [0-9.]+/4\.0 MiB  [0-9.]+ MiB/s  0:0[0-9] left)");
    EXPECT_TRUE(std::regex_search(out, moving)) << out;
    // and the end of the file with every byte counted
    EXPECT_NE(out.find("] 100% 4.0/4.0 MiB"), std::string::npos) << out;
}

// Each cause the console names at the error exit, on a terminal; through a pipe (every other
// end-to-end test) the same runs write what they always did.
TEST(ProgressOnTerminal, AFailureNamesItsCauseAndTheNextStep) {
    struct Row {
        const char* what;
        std::vector<std::string> device;
        bool damaged;  // a kernel.sign that does not match kernel.bin
        const char* said;
    };
    const std::vector<std::string> rq3 = {"--device", "rq3",         "--serial", "P00118E2E0001",
                                          "--var",    "product=RQ3", "--var",    "verflag=Z05"};
    auto with = [&rq3](std::vector<std::string> more) {
        more.insert(more.begin(), rq3.begin(), rq3.end());
        return more;
    };
    const Row rows[] = {
        {"a loader the chain cannot start from",
         {"--device", "v", "--serial", "02A0001", "--var", "product=VRX2", "--var", "verflag=8.5"},
         false,
         "the loader chain cannot start from this device's loader (8.5): this package cannot be "
         "installed on it"},
        {"a damaged package file", rq3, true,
         "the package file kernel.bin is damaged (it does not match its signature): get the "
         "package again"},
        {"a device lost in a write", with({"--fault", "download:*=vanish:data:1000"}), false,
         "the device was lost: reconnect it, then install again"},
        {"a refused write", with({"--fault", "flash:*=fail"}), false,
         "the device refused to write data.bin: try again once"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const bool vrx2 = row.device[5] == "product=VRX2";
        Package pkg;
        pkg.config(vrx2 ? "vrx2\n" : "pagora8\n").files({"data.bin", "kernel.bin", "system.bin"});
        if (row.damaged) pkg.file("kernel.sign", 8);  // eight bytes that are no CRC of it
        support::Devsim dev(row.device);
        const std::string out = run_on_terminal(pkg, dev, {"1", "1"}, true).out;
        EXPECT_NE(out.find(std::string("tessaro-installer: ") + row.said), std::string::npos)
            << out;
    }
}

TEST(ProgressOnTerminal, TheLoaderChainsStagesOnStandardError) {
    Package pkg;
    pkg.config("vrx3\n").files({"system.bin", "kernel.bin"});
    // a loader of porter1's generation: two staged loaders, then the final one
    support::Devsim dev({"--device", "d", "--serial", "067A0TTY0001", "--var", "product=VRX3",
                         "--var", "verflag=A.0", "--var", "bootmode=main", "--var",
                         "systype=sing"});
    const std::string out = run_on_terminal(pkg, dev, {"1", "1"}, true).out;
    for (const char* line :
         {"Updating the loader: stage 1 of 2 (porter2)\r\n",
          "Restarting the device to start porter2 (3 s, then waiting for it)\r\n",
          "Updating the loader: stage 2 of 2 (porter3)\r\n",
          "Updating the loader: the final loader (loader_belto)\r\n"}) {
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
    }
}

}  // namespace

// Where the console says only "###" lines that a person cannot act on, a terminal is told more:
// that there is no package here, which other bootloaders a SERIAL could pick, that a Ctrl+C
// during a write is taken at the next safe point.
TEST(ProgressOnTerminal, APersonIsToldWhatTheLinesLeaveOut) {
    struct Case {
        const char* name;
        const char* config;  // null: no config.bin
        std::vector<std::string> device;
        std::string interrupt_at;
        std::vector<std::string> said;  // on the terminal, each once
        bool interrupted;               // the run ended by the Ctrl+C
    };
    const std::vector<std::string> rq3 = {"--device", "a",           "--serial", "P00118A",
                                          "--var",    "product=RQ3", "--var",    "verflag=Z05"};
    const std::vector<std::string> two =
        concat({rq3, {"--device", "b", "--serial", "02A0000B", "--var", "product=VRX2"}});
    const Case cases[] = {
        {"no package here", nullptr, rq3, "", {"there is no firmware package here ("}, false},
        {"the first device found is another model's",
         "vrx2\n",
         two,
         "",
         {"the first device found is a pagora8; other bootloader devices are attached:\r\n"
          "  02A0000B at ",
          "give one's serial number as SERIAL"},
         false},
        {"Ctrl+C twice during a write",
         "pagora8\n",
         concat({{"--rate", "2000000"}, rq3}),
         "###Downloading:",
         {"stopping at the next safe point: a write to the device is never broken off"},
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Package pkg;
        if (c.config != nullptr) pkg.config(c.config).file("data.bin", 1 << 20);
        support::Devsim dev(c.device);
        const TerminalRun r = run_on_terminal(pkg, dev, {"1", "1"}, true, c.interrupt_at);
        for (const std::string& text : c.said) {
            const size_t at = r.out.find(text);
            EXPECT_NE(at, std::string::npos) << r.out;
            EXPECT_EQ(r.out.find(text, at + 1), std::string::npos) << r.out;
        }
        EXPECT_EQ(WIFSIGNALED(r.status) && WTERMSIG(r.status) == SIGINT, c.interrupted);
        // the write went on to its end
        if (c.interrupted) {
            EXPECT_NE(r.out.find("] 100%"), std::string::npos) << r.out;
        }
    }
}
