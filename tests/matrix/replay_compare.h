// A failed run and its replay from the run's trace, compared: the replay must take the same road
// and end at the same exchange in the same way.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace matrix {

struct RunEnd {
    int status = -1;
    bool timed_out = false;
    std::string out;                    // the installer's standard output
    std::vector<std::string> commands;  // what the device received
    std::string trace_end;              // the trace's "end" line without its time
};

// The trace's last "end" line, without the time it begins with; empty when it has none.
std::string trace_end(const std::filesystem::path& trace);

// Empty when the replay ended as the run did; else the first difference.
std::string replay_difference(const RunEnd& run, const RunEnd& replay);

}  // namespace matrix
