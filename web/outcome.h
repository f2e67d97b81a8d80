// What a run's events and its exit say of it, with no I/O: running until the installer exits,
// then done, failed, left or stopped.
#pragma once

#include <string_view>

#include "web/reader.h"

namespace web {

class Outcome {
  public:
    // Takes one event of the run (of either stream) and gives the kind the page is told: a done
    // ending after a menu was left with 0 is left, since nothing was installed.
    [[nodiscard]] EventKind take(const Event& e);
    // A Stop was sent: a run that then ends without an ending of its own was stopped.
    void stop() { stop_asked_ = true; }
    [[nodiscard]] bool stop_asked() const { return stop_asked_; }
    // "running" until end() was called, then the run's state.
    [[nodiscard]] std::string_view state() const { return state_; }
    // The installer exited with `status`: done only after a done ending, with no failure, and
    // status 0. A failure sticks; one that a Stop ended otherwise was stopped; a run with no
    // ending of its own (a fault, a signal) failed.
    std::string_view end(int status);

  private:
    bool exited_ = false;  // a menu was left with 0
    bool done_ = false;
    bool failed_ = false;
    bool left_ = false;
    bool stop_asked_ = false;
    std::string_view state_ = "running";
};

}  // namespace web
