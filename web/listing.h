// The devices: `tessaro-installer --list --json` run every 2 seconds on a thread of its own, and
// what the page is shown of each listing while installs hold some of the devices.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "web/child.h"

namespace web {

struct Listing {
    nlohmann::json devices = nlohmann::json::array();   // the devices that answered
    nlohmann::json problems = nlohmann::json::array();  // and those that could not be opened
};

// The listing's output as the page is shown it: `running` are the places (`path`) of the
// installs that run, whose devices keep what `last` showed of them.
[[nodiscard]] Listing read_listing(const std::string& out, const Listing& last,
                                   const std::vector<std::string>& running);

// Runs the listing until stopped, handing each one's standard output to `take` (on the
// listing's thread).
class Lister {
  public:
    Lister(ChildLaunch launch, std::function<void(std::string)> take);
    ~Lister() { stop(); }
    Lister(const Lister&) = delete;
    Lister& operator=(const Lister&) = delete;
    void start();
    // Ends the loop and waits for it.
    void stop();

  private:
    void loop();

    ChildLaunch launch_;
    std::function<void(std::string)> take_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
};

}  // namespace web
