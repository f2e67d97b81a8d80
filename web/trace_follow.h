// A run's trace (TESSARO_TRACE) followed while the run lasts: the installer prints no line for
// the loader chain's stages and restarts, nor for the data phases inside a file, but writes each
// to its trace. The file is read as it grows and the lines the page needs become events.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace web {

// The event of one trace line for the page, or none for a line it has no use for (or that is no
// JSON object): {"type":"trace","ev","t",...} with only the fields the page reads. A command is
// kept only when it opens a data phase ("download:SIZE", with "bytes") or is the reboot.
[[nodiscard]] std::optional<nlohmann::json> trace_event(std::string_view line);

class TraceFollow {
  public:
    // Each read's events, on the follower's own thread.
    using Take = std::function<void(std::vector<nlohmann::json>)>;
    // Reads `file` (which the run makes when it starts) every `period`.
    TraceFollow(std::filesystem::path file, Take take,
                std::chrono::milliseconds period = std::chrono::milliseconds(50));
    ~TraceFollow();
    TraceFollow(const TraceFollow&) = delete;
    TraceFollow& operator=(const TraceFollow&) = delete;
    // Reads what is left once the run has ended, hands it over and stops.
    void finish();

  private:
    void loop();
    void read_more();

    std::filesystem::path file_;
    Take take_;
    std::chrono::milliseconds period_;
    uint64_t offset_ = 0;    // the bytes of the file read so far
    std::string partial_;    // a line not yet ended
    bool skipping_ = false;  // within a line too long to be one the page needs
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_;
};

}  // namespace web
