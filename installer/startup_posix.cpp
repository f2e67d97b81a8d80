// The start-up policy on POSIX hosts: descriptors 0 to 2 and the signals of a run.
#include <fcntl.h>
#include <signal.h>  // NOLINT(modernize-deprecated-headers): sigaction is POSIX, not in <csignal>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "console/console.h"
#include "installer/startup.h"

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
