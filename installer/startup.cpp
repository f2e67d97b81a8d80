#include "installer/startup.h"

#include <fcntl.h>
#include <signal.h>  // NOLINT(modernize-deprecated-headers): sigaction is POSIX, not in <csignal>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "console/console.h"

void open_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // the lowest free descriptor is taken, and the ones below fd are open by now
        int opened = open("/dev/null", O_RDWR);
        if (opened < 0) std::exit(1);  // no /dev/null: nowhere safe even to say so
        if (opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

namespace {

bool policy_started = false;
bool interrupts_guarded = false;
struct sigaction start_int {};
struct sigaction start_hup {};

void ignore_signal(int sig) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(sig, &ignore, nullptr);
}

}  // namespace

void start_signal_policy() {
    ignore_signal(SIGPIPE);
    // kept as found: a run started under nohup stays immune to SIGHUP throughout
    sigaction(SIGINT, nullptr, &start_int);
    sigaction(SIGHUP, nullptr, &start_hup);
    interrupts_guarded = false;
    policy_started = true;
}

void guard_interrupts() {
    if (!policy_started || interrupts_guarded) return;
    ignore_signal(SIGINT);
    ignore_signal(SIGHUP);
    interrupts_guarded = true;
}

void release_interrupts() {
    if (policy_started && interrupts_guarded) {
        // a signal that came while they were ignored was discarded, so none is pending now
        sigaction(SIGINT, &start_int, nullptr);
        sigaction(SIGHUP, &start_hup, nullptr);
        interrupts_guarded = false;
    }
    // what the run has said so far is out before a wait that a signal may end
    con_flush();
}

bool is_number_argument(std::string_view text) {
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) text.remove_prefix(1);
    if (text.empty()) return false;
    return std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; });
}

int number_argument(std::string_view text) {
    std::string s(text);
    long v = std::strtol(s.c_str(), nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

StartRequest read_start_request(int argc, char** argv) {
    if (argc > 1) {
        std::string_view first = argv[1];
        if (first == "--help" || first == "-h") return StartRequest::Help;
        if (first == "--version") return StartRequest::Version;
    }
    // DOREBOOT and DOFAST; SERIAL is free text
    for (int i = 1; i < argc && i <= 2; ++i) {
        if (!is_number_argument(argv[i])) return StartRequest::Usage;
    }
    return StartRequest::Run;
}

void print_usage_error(int argc, char** argv) {
    for (int i = 1; i < argc && i <= 2; ++i) {
        if (is_number_argument(argv[i])) continue;
        con_err("tessaro-installer: %s must be a whole number, not '%s'\n",
                i == 1 ? "DOREBOOT" : "DOFAST", argv[i]);
        break;
    }
    con_err(
        "usage: tessaro-installer [DOREBOOT [DOFAST [SERIAL]]]\n"
        "       tessaro-installer --help | -h | --version\n"
        "Try 'tessaro-installer --help' for more.\n");
}
