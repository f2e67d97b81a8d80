#include "matrix/replay_compare.h"

#include <algorithm>

#include "support/temp_dir.h"

namespace matrix {

std::string trace_end(const std::filesystem::path& trace) {
    const std::string all = support::read_file(trace);
    const size_t at = all.rfind(R"(,"ev":"end")");
    if (at == std::string::npos) return "";
    const size_t end = all.find('\n', at);
    return all.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

std::string replay_difference(const RunEnd& run, const RunEnd& replay) {
    if (replay.timed_out) return "the replay did not end";
    const size_t n = std::min(run.commands.size(), replay.commands.size());
    for (size_t i = 0; i < n; ++i) {
        if (run.commands[i] != replay.commands[i]) {
            return "exchange " + std::to_string(i + 1) + " is '" + replay.commands[i] + "', not '" +
                   run.commands[i] + "'";
        }
    }
    if (run.commands.size() != replay.commands.size()) {
        return "the replay ends after " + std::to_string(replay.commands.size()) +
               " exchanges, not " + std::to_string(run.commands.size());
    }
    if (replay.status != run.status) {
        return "exit " + std::to_string(replay.status) + ", not " + std::to_string(run.status);
    }
    if (replay.trace_end != run.trace_end) {
        return "the trace ends '" + replay.trace_end + "', not '" + run.trace_end + "'";
    }
    if (replay.out != run.out) {
        const auto [a, b] =
            std::mismatch(run.out.begin(), run.out.end(), replay.out.begin(), replay.out.end());
        return "the output differs from byte " + std::to_string(a - run.out.begin());
    }
    return "";
}

}  // namespace matrix
