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
#include "installer/startup.h"

namespace {

// The console-control policy is the process's, not the run's: the handler reads the flags below,
// and a handler is given nothing but the event.
bool policy_started = false;
// read on the thread the system runs the handler on
std::atomic<bool> interrupts_guarded{false};

// set while the run waits for a device or a menu choice
std::atomic<bool> waiting{false};

BOOL WINAPI control_handler(DWORD event) {
    const bool stop_event = event == CTRL_C_EVENT || event == CTRL_CLOSE_EVENT;
    if (waiting.load() && stop_event) {
        // where the device was left, then the default: the process ends
        const std::string_view note = stop_note();
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), note.data(), static_cast<DWORD>(note.size()),
                  &written, nullptr);
        return FALSE;
    }
    if (!interrupts_guarded.load()) return FALSE;  // the default: the process ends
    return stop_event ? TRUE : FALSE;
}

}  // namespace

InterruptibleWait::InterruptibleWait() {
    if (!policy_started) return;
    active_ = true;
    con_flush();
    static_cast<void>(stop_note());  // composed now, not on the handler's thread
    waiting = true;
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
}
