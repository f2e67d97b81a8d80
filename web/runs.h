// One install: the installer as a child process for one device, its two output streams read on
// threads of their own and turned into events, which are handed to the server's thread.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "web/child.h"
#include "web/reader.h"

namespace web {

class Run {
  public:
    // Runs `task` on the server's thread.
    using Post = std::function<void(std::function<void()>)>;
    // Called on the server's thread with each event of the run, and once with its end.
    using Publish = std::function<void(const nlohmann::json&)>;

    // Starts the child; throws std::runtime_error when it cannot be started.
    Run(std::string serial, const ChildLaunch& launch, std::filesystem::path trace, Post post,
        Publish publish);
    // Waits for the child's end (it is never killed) and for its readers.
    ~Run();
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    // The server's thread only, from here on.
    [[nodiscard]] bool running() const { return running_; }
    [[nodiscard]] const std::string& state() const { return state_; }
    [[nodiscard]] const std::vector<nlohmann::json>& history() const { return history_; }
    [[nodiscard]] const std::string& console() const { return console_; }
    [[nodiscard]] const std::filesystem::path& trace() const { return trace_; }
    // Sends a choice to the menu that waits; false when none waits or it has no such choice.
    [[nodiscard]] bool choose(char key);

  private:
    // t: seconds since the run started; at: the host's monotonic clock when it was read
    void on_event(const std::string& stream, const Event& e, double t, double at);
    void on_end(int status);
    void pump(bool out);

    std::string serial_;
    std::filesystem::path trace_;
    Post post_;
    Publish publish_;
    std::unique_ptr<Child> child_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::thread supervisor_;

    bool running_ = true;
    std::string state_ = "running";
    std::string menu_keys_;  // the choices of the menu that waits, empty when none does
    bool exited_ = false;    // a menu was left with 0
    std::vector<nlohmann::json> history_;
    std::string console_;
};

[[nodiscard]] nlohmann::json event_json(const Event& e);

}  // namespace web
