// One install: the installer as a child process for one device, its two output streams read on
// threads of their own and turned into events, which are handed to the server's thread.
#pragma once

#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>

#include "web/causes.h"
#include "web/child.h"
#include "web/outcome.h"
#include "web/preview.h"
#include "web/reader.h"
#include "web/trace_follow.h"

namespace web {

// A run keeps this many events for a page that comes back; beyond it, text lines and bars are
// dropped from memory (they stay in the run's file) and the other events still kept up to twice
// as many, so a device's flood cannot grow the server without end.
constexpr size_t kHistoryCap = 4000;

class Run {
  public:
    // Runs `task` on the server's thread.
    using Post = std::function<void(std::function<void()>)>;
    // Called on the server's thread with each event of the run, and once with its end.
    using Publish = std::function<void(const nlohmann::json&)>;

    struct Files {
        std::filesystem::path log;    // the whole output of both streams, as the installer wrote it
        std::filesystem::path trace;  // TESSARO_TRACE
    };

    // Starts the child for the device at `place`; throws std::runtime_error when it cannot be
    // started.
    Run(std::string place, const ChildLaunch& launch, Files files, Post post, Publish publish);
    // Waits for the child's end (it is never killed) and for its readers.
    ~Run();
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    // The server's thread only, from here on.
    [[nodiscard]] bool running() const { return running_; }
    [[nodiscard]] std::string_view state() const { return outcome_.state(); }
    [[nodiscard]] const std::deque<nlohmann::json>& history() const { return history_; }
    [[nodiscard]] const Files& files() const { return files_; }
    // Sends a choice to the menu that waits; false when none waits or it has no such choice.
    [[nodiscard]] bool choose(char key);
    // Sends the installer its Ctrl+C, which it takes only at a wait or a menu (with a note of
    // where the device was left) and never while it writes. Sent again by stop_tick() until the
    // run ends, so a run that writes stops at its next wait. False when it no longer runs.
    bool stop();
    void stop_tick();
    [[nodiscard]] bool stop_asked() const { return outcome_.stop_asked(); }
    // At a menu or waiting for a device: a Stop ends it now.
    [[nodiscard]] bool waiting() const { return !menu_keys_.empty() || device_wait_; }

    // A dry run: each of its events says so ("preview"), and its end is a preview's.
    void set_preview() { preview_ = true; }
    [[nodiscard]] bool preview() const { return preview_; }
    // The listing's facts of the device as the run starts, to which the run adds what it shows
    // before its first menu.
    void identify(const Identity& device);
    [[nodiscard]] const Identity& seen() const { return seen_; }
    // The first choice the run took; 0 before it took one.
    [[nodiscard]] char chosen() const { return chosen_; }
    // Install this plan: the first menu is answered with `key` when the run and the device show
    // what the preview saw (`preview`); otherwise it is left to the person. A "planned" event
    // tells which, and why.
    void answer_as(char key, Identity preview);

  private:
    // t: seconds since the run started; at: the host's monotonic clock when it was read
    void on_event(const std::string& stream, const Event& e, double t, double at);
    void on_end(int status);
    void on_trace(nlohmann::json j, double at);
    void pump(bool out);
    void keep(nlohmann::json j, bool structural);
    void answer_planned();

    std::string place_;
    Files files_;
    Post post_;
    Publish publish_;
    std::ofstream log_;
    std::mutex log_mutex_;  // both streams' threads write the log
    std::unique_ptr<Child> child_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    // follows the trace the child writes; finished before the run's end is told
    std::unique_ptr<TraceFollow> follow_;
    std::thread supervisor_;

    bool running_ = true;
    Outcome outcome_;
    CauseFinder causes_;        // why it failed, when it does
    std::string menu_keys_;     // the choices of the menu that waits, empty when none does
    bool device_wait_ = false;  // "< waiting for device >" was the last line of standard error
    std::string stop_note_;     // the installer's own note when a Stop ended it
    std::deque<nlohmann::json> history_;
    bool history_cut_ = false;
    bool preview_ = false;
    Identity seen_;
    char chosen_ = 0;
    struct Planned {
        char key;
        Identity preview;
    };
    std::optional<Planned> planned_;  // answered at the first menu
};

[[nodiscard]] nlohmann::json event_json(const Event& e);
// A failed run's end event names its cause: "cause", with "detail" (the loader version, or what
// was being written) and, for another model, "device" and "package".
void add_cause(nlohmann::json& end, const Finding& f);

}  // namespace web
