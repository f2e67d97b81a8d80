// What a run settles before it talks to a device: the standard descriptors, and which signals may
// stop it and when.
#pragma once

// Opens each of descriptors 0, 1 and 2 that is not open on /dev/null, so that no file or device
// link opened later takes its place (a menu reading the USB link, "###" lines sent to the
// device). Must come before anything else opens a descriptor.
void open_standard_descriptors();

// Signal policy of a run. Until the first command goes to the device, SIGINT and SIGHUP keep
// the action the run was started with: a run still waiting for its device can be stopped.
// From then on both are ignored, so a write is never broken off half way, until the closing
// wait, after which nothing more is sent. SIGPIPE is ignored for the whole run: a reader of
// standard output that goes away costs the output, not the install.
void start_signal_policy();
// While it sends, a Ctrl+C with standard error on a terminal is said once
// (interrupt_in_write_note) and ends the run at its next wait, or where nothing more is sent;
// elsewhere (a wrapper program, which sends its own again) it is let go.
// The first command is about to be sent. Does nothing outside a run (before
// start_signal_policy), so that exchanges in tests leave the signals alone.
void guard_interrupts();
// Nothing more will be sent: SIGINT and SIGHUP get back the action they had at start-up, and
// standard output is flushed, so that what was said is not lost if one of them ends the wait.
void release_interrupts();

// A wait that a person may end: for a device, or for a choice at a menu. Nothing is being
// written then, so while one lasts SIGINT and SIGHUP end the run (unless it was started with them
// ignored, as under nohup), after saying on standard error where the device was left. Standard
// output is flushed when it begins. Does nothing outside a run.
class InterruptibleWait {
  public:
    InterruptibleWait();
    ~InterruptibleWait();
    InterruptibleWait(const InterruptibleWait&) = delete;
    InterruptibleWait& operator=(const InterruptibleWait&) = delete;

  private:
    bool active_ = false;
};

// Standard error is a terminal: a person reads it, and lines only a person needs may go there.
[[nodiscard]] bool stderr_is_terminal();
