// The start-up policy on Windows. The console's Ctrl+C and close events are what SIGINT and
// SIGHUP are on POSIX: until the first command goes to the device and again in the closing wait
// they end the run as usual; in between, the control handler reports them handled, so Ctrl+C
// never breaks off a write half way. The close event cannot be held off: the system ends the
// process within a few seconds of it, whatever the handler answers. Ctrl+Break still ends a
// run, as SIGQUIT does.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>

#include "console/console.h"
#include "installer/steps/report.h"
#include "installer/steps/signals.h"
#include "installer/steps/stop_note.h"

namespace {

// The console-control policy is the process's, not the run's: the handler reads the flags below,
// and a handler is given nothing but the event.
bool policy_started = false;
// read on the thread the system runs the handler on
std::atomic<bool> interrupts_guarded{false};

// set while the run waits for a device or a menu choice
std::atomic<bool> waiting{false};

// a Ctrl+C came while the run wrote, on a terminal: the run stops at its next wait
std::atomic<bool> stop_pending{false};

void say(std::string_view text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
    report_handler_text(text);
}

// Where the device was left, and the report; then the process ends as by Ctrl+C.
[[noreturn]] void stop_now() {
    say(stop_note());
    report_finish_at_signal();
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

BOOL WINAPI control_handler(DWORD event) {
    const bool stop_event = event == CTRL_C_EVENT || event == CTRL_CLOSE_EVENT;
    if (waiting.load() && stop_event) {
        // where the device was left, then the default: the process ends
        say(stop_note());
        report_finish_at_signal();
        return FALSE;
    }
    if (!interrupts_guarded.load()) {
        report_finish_at_signal();
        return FALSE;  // the default: the process ends
    }
    if (event == CTRL_C_EVENT && stderr_is_terminal()) {
        if (!stop_pending.exchange(true)) say(interrupt_in_write_note());
    }
    // the close event ends the process within seconds whatever is answered; Ctrl+Break ends it
    if (event != CTRL_C_EVENT) report_finish_at_signal();
    return stop_event ? TRUE : FALSE;
}

}  // namespace

InterruptibleWait::InterruptibleWait() {
    if (!policy_started) return;
    active_ = true;
    con_flush();
    static_cast<void>(stop_note());  // composed now, not on the handler's thread
    waiting = true;
    if (stop_pending.load()) stop_now();  // the Ctrl+C that came during the write
}

InterruptibleWait::~InterruptibleWait() {
    if (active_) waiting = false;
}

void open_standard_descriptors() {
    // binary: the bytes written are the bytes a wrapper reads ("\n", not "\r\n"), as on every
    // other host. A stream the process was started without has no handle: writes to it fail
    // quietly and a read sees the end, so nothing need be opened in its place.
    for (int fd = 0; fd <= 2; ++fd) _setmode(fd, _O_BINARY);
}

void start_signal_policy() {
    interrupts_guarded = false;
    waiting = false;
    stop_pending = false;
    note_last_write({});
    if (!policy_started) SetConsoleCtrlHandler(control_handler, TRUE);
    policy_started = true;
}

void guard_interrupts() {
    if (policy_started) interrupts_guarded = true;
}

void release_interrupts() {
    interrupts_guarded = false;
    // what the run has said so far is out before a wait that Ctrl+C may end
    con_flush();
    // the end of the sending is the safe point a Ctrl+C during it waited for
    if (stop_pending.load() && policy_started) {
        report_finish_at_signal();
        ExitProcess(STATUS_CONTROL_C_EXIT);
    }
}

bool stderr_is_terminal() {
    static const bool terminal = _isatty(2) != 0;
    return terminal;
}
