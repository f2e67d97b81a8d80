// The run's trace for a bug report: when TESSARO_TRACE names a file, every exchange with the
// device, every USB failure, every wait for the device, every sleep and the run's end are appended
// to it as one JSON object per line. Nothing here writes to standard output or standard error, and
// a file that cannot be opened or written only loses the trace, never the run.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/json_string.h"

namespace trace {

// True when a trace is being written (TESSARO_TRACE set, not empty, and the file opened). The
// file is opened on the first call, appended to, and written a whole line at a time.
bool on();

// One line: {"t":SECONDS,"ev":"KIND",...fields in the order added}. Written when it goes out of
// scope, and only when the trace is on; building one costs little when it is off.
class Event {
  public:
    explicit Event(std::string_view kind);
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    Event& text(std::string_view key, std::string_view value);
    Event& number(std::string_view key, int64_t value);
    Event& seconds(std::string_view key, double value);
    Event& flag(std::string_view key, bool value);
    Event& texts(std::string_view key, const std::vector<std::string>& values);

  private:
    void key(std::string_view k);
    bool on_;
    std::string line_;
};

using base::json_string;

// Every line, with its line end, is also given to `sink` (the run's report), and the trace is on
// while one is set whether or not TESSARO_TRACE names a file. Set it before the first on().
using Sink = void (*)(std::string_view line);
void set_sink(Sink sink);

// Forgets the open file, so the next on() reads TESSARO_TRACE again (for tests).
void reset();

}  // namespace trace
