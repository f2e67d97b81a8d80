#include "e2e/harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "console/console.h"
#include "support/temp_dir.h"

extern char** environ;

namespace e2e {

namespace {

using support::c_strings;
using support::Pipe;

std::vector<std::string> make_env(const std::map<std::string, std::string>& extra) {
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string kv(*e);
        auto eq = kv.find('=');
        if (eq != std::string::npos) vars[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    vars.erase("TESSARO_DEVSIM_DIR");
    vars.erase("TESSARO_DEVSIM_ADDR");
    vars.erase("LANG");
    vars.erase("LANGUAGE");
    // assigned as a whole string: GCC 12 at -O2 warns falsely (-Wrestrict) on assigning the literal
    vars.insert_or_assign("LC_ALL", std::string(1, 'C'));
    for (const auto& [k, v] : extra) vars[k] = v;
    std::vector<std::string> out;
    for (const auto& [k, v] : vars) out.push_back(k + "=" + v);
    return out;
}

void record_run(const RunOptions& options, const RunResult& result) {
    const char* dir = std::getenv("TESSARO_RECORD_DIR");
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    if (dir == nullptr || *dir == '\0' || test == nullptr) return;
    std::string name = std::string(test->test_suite_name()) + "." + test->name();
    for (char& c : name) {
        if (c == '/') c = '_';
    }
    static std::map<std::string, int> runs;  // one test runs in one thread
    name += "." + std::to_string(runs[name]++);
    const std::string base = std::string(dir) + "/" + name;
    std::filesystem::create_directories(dir);
    support::write_file(base + ".out", result.out);
    support::write_file(base + ".err", result.err);
    std::string meta;
    for (const auto& a : options.args) meta += "arg " + a + "\n";
    meta += "input " + options.input + "\nstatus " + std::to_string(result.status) + "\n";
    support::write_file(base + ".meta", meta);
}

}  // namespace

RunResult run_program(const std::string& program, const RunOptions& options) {
    std::vector<std::string> argv = {program};
    if (const char* emulator = std::getenv("TESSARO_TEST_EMULATOR");
        emulator != nullptr && *emulator != '\0' && program == installer_bin()) {
        argv.insert(argv.begin(), emulator);
    }
    argv.insert(argv.end(), options.args.begin(), options.args.end());
    auto extra = options.env;
    if (!options.devsim_dir.empty()) extra["TESSARO_DEVSIM_DIR"] = options.devsim_dir.string();
    if (options.devsim != nullptr) extra.insert(options.devsim->link_variable());
    std::vector<std::string> env = make_env(extra);

    Pipe in, out, err;
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(in.fd[0], STDIN_FILENO);
        dup2(out.fd[1], STDOUT_FILENO);
        dup2(err.fd[1], STDERR_FILENO);
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
        // this process ignores SIGPIPE (below); the program must not inherit that
        signal(SIGPIPE, SIG_DFL);
        auto cargs = c_strings(argv);
        auto cenv = c_strings(env);
        execve(cargs[0], cargs.data(), cenv.data());
        _exit(127);
    }
    in.close_read();
    out.close_write();
    err.close_write();

    // the input is small: write it all and close, so a menu that reads past it sees the end
    signal(SIGPIPE, SIG_IGN);
    if (!options.input.empty()) {
        ssize_t ignored = write(in.fd[1], options.input.data(), options.input.size());
        (void)ignored;
    }
    size_t replied = 0;     // replies given
    size_t shown_upto = 0;  // standard output up to here has answered a wait already
    auto reply_when_shown = [&](const std::string& out) {
        while (replied < options.replies.size()) {
            const auto& [wait, answer] = options.replies[replied];
            const size_t at = out.find(wait, shown_upto);
            if (at == std::string::npos) return;
            shown_upto = at + wait.size();
            ssize_t ignored = write(in.fd[1], answer.data(), answer.size());
            (void)ignored;
            ++replied;
        }
        in.close_write();
    };
    if (options.replies.empty()) in.close_write();

    RunResult result;
    auto deadline = std::chrono::steady_clock::now() + options.timeout;
    bool out_open = true, err_open = true;
    char buf[65536];
    while (out_open || err_open) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            result.timed_out = true;
            break;
        }
        pollfd p[2] = {{out_open ? out.fd[0] : -1, POLLIN, 0},
                       {err_open ? err.fd[0] : -1, POLLIN, 0}};
        int n = poll(p, 2, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR) continue;
        for (int i = 0; i < 2; ++i) {
            if ((p[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            ssize_t got = read(p[i].fd, buf, sizeof buf);
            if (got <= 0) {
                (i == 0 ? out_open : err_open) = false;
                continue;
            }
            (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(got));
            if (i == 0 && !options.replies.empty()) reply_when_shown(result.out);
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (result.timed_out) {
        result.status = -1;
    } else if (WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.status = 128 + WTERMSIG(status);
    }
    return result;
}

RunResult run_installer(const RunOptions& options) {
    RunResult result = run_program(installer_bin(), options);
    record_run(options, result);
    return result;
}

std::string gbk(const std::string& utf8) {
    return console_to_gbk(utf8);
}

#ifndef TESSARO_INSTALLER_BIN
#define TESSARO_INSTALLER_BIN ""
#define TESSARO_TOOLS_DIR ""
#endif

std::string installer_bin() {
    const char* other = std::getenv("TESSARO_TEST_INSTALLER");
    return other != nullptr && *other != '\0' ? other : TESSARO_INSTALLER_BIN;
}
std::string tools_dir() {
    return TESSARO_TOOLS_DIR;
}

}  // namespace e2e
