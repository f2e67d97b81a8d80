// The start-up policy on POSIX hosts: descriptors 0 to 2 and the signals of a run.
#include <fcntl.h>
#include <signal.h>  // NOLINT(modernize-deprecated-headers): sigaction is POSIX, not in <csignal>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "console/console.h"
#include "installer/steps/report.h"
#include "installer/steps/signals.h"
#include "installer/steps/stop_note.h"

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

// The signal policy is the process's, not the run's: it is set up once for the process and the
// signal handlers, which are given nothing but the signal, act on it.
bool policy_started = false;
bool interrupts_guarded = false;
struct sigaction start_int {};
struct sigaction start_hup {};
// a Ctrl+C came while the run wrote, on a terminal: the run stops at its next wait
volatile sig_atomic_t g_stop_pending = 0;

void ignore_signal(int sig) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(sig, &ignore, nullptr);
}

const struct sigaction& start_action(int sig) {
    return sig == SIGINT ? start_int : start_hup;
}

void say_from_handler(std::string_view text) {
    ssize_t n = write(2, text.data(), text.size());
    static_cast<void>(n);
    report_handler_text(text);
}

// At a wait: say where the device was left, then end as the signal's start-up action would (the
// signal is blocked in here, so it is taken with that action on return).
void on_stop_signal(int sig) {
    say_from_handler(stop_note());
    sigaction(sig, &start_action(sig), nullptr);
    raise(sig);
}

// A signal that ends the run as it would have without the report, once the report is written.
void finish_report_and_end(int sig) {
    report_finish_at_signal();
    raise(sig);  // taken with the default action on return (SA_RESETHAND)
}

// With a report, a stop signal whose action is to end the process writes the report first.
void finish_report_first(int sig, struct sigaction* start) {
    if (!report_on() || start->sa_handler != SIG_DFL) return;
    start->sa_handler = finish_report_and_end;
    sigemptyset(&start->sa_mask);
    start->sa_flags = SA_RESETHAND;
    sigaction(sig, start, nullptr);
}

// A Ctrl+C while the run writes, with a person at the terminal: said once, and taken at the
// next wait.
void on_interrupt_in_write(int /*sig*/) {
    if (g_stop_pending == 0) say_from_handler(interrupt_in_write_note());
    g_stop_pending = 1;
}

void guard_interrupt_signal() {
    if (!stderr_is_terminal() || start_int.sa_handler == SIG_IGN) {
        ignore_signal(SIGINT);
        return;
    }
    struct sigaction act {};
    act.sa_handler = on_interrupt_in_write;
    sigemptyset(&act.sa_mask);
    sigaction(SIGINT, &act, nullptr);
}

void catch_at_wait(int sig) {
    if (start_action(sig).sa_handler == SIG_IGN) return;  // started immune: stays so
    struct sigaction act {};
    act.sa_handler = on_stop_signal;
    sigemptyset(&act.sa_mask);
    sigaction(sig, &act, nullptr);
}

}  // namespace

InterruptibleWait::InterruptibleWait() {
    if (!policy_started) return;
    active_ = true;
    // what was said before the wait is out before a signal may end it
    con_flush();
    static_cast<void>(stop_note());  // composed now, not in the handler
    catch_at_wait(SIGINT);
    catch_at_wait(SIGHUP);
    if (g_stop_pending != 0) raise(SIGINT);  // the Ctrl+C that came during the write
}

InterruptibleWait::~InterruptibleWait() {
    if (!active_) return;
    if (interrupts_guarded) {
        guard_interrupt_signal();
        ignore_signal(SIGHUP);
    } else {
        sigaction(SIGINT, &start_int, nullptr);
        sigaction(SIGHUP, &start_hup, nullptr);
    }
}

void start_signal_policy() {
    ignore_signal(SIGPIPE);
    // kept as found: a run started under nohup stays immune to SIGHUP throughout
    sigaction(SIGINT, nullptr, &start_int);
    sigaction(SIGHUP, nullptr, &start_hup);
    finish_report_first(SIGINT, &start_int);
    finish_report_first(SIGHUP, &start_hup);
    for (const int sig : {SIGTERM, SIGQUIT}) {
        struct sigaction start {};
        sigaction(sig, nullptr, &start);
        finish_report_first(sig, &start);
    }
    g_stop_pending = 0;
    interrupts_guarded = false;
    policy_started = true;
    note_last_write({});
}

void guard_interrupts() {
    if (!policy_started || interrupts_guarded) return;
    guard_interrupt_signal();
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
    // the end of the sending is the safe point a Ctrl+C during it waited for
    if (g_stop_pending != 0 && policy_started) raise(SIGINT);
}

bool stderr_is_terminal() {
    static const bool terminal = ::isatty(STDERR_FILENO) == 1;
    return terminal;
}
