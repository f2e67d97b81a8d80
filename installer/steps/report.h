// The run's report (TESSARO_REPORT=FILE): one file to attach to a bug report, holding the date,
// the host, this build, the device, the arguments, the whole console output as the run printed
// it and the trace with the wall-clock time of each line. The console output is the same with
// or without it.
#pragma once

#include <string_view>

struct InstallRun;

// When TESSARO_REPORT names a file: opens it now (saying once on standard error when it cannot
// be written, and the run goes on without it) and keeps the console output and the trace of
// `run` from here on. The file is written whole when the process ends: by returning or exiting,
// and by a stop signal through report_finish_at_signal().
void report_start(const InstallRun& run, int argc, char** argv);
[[nodiscard]] bool report_on();
// The run has ended: writes the report (once), before `run` goes.
void report_end();

// A text a signal handler wrote to standard error itself (the stop note, the Ctrl+C line), so
// that the report has it too. Async-signal-safe; the text must stay where it is (a static).
void report_handler_text(std::string_view text);
// Writes the report now, from a signal handler or the console's control handler: only what a
// handler may do. Writes nothing the second time, nor when the report is off.
void report_finish_at_signal();
