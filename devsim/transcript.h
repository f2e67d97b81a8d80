// The transcript: one JSON object per line for every command a device received, every status
// packet it sent, every data phase, reboot, going away and coming back. Tests read it while the
// devices run, so each line is flushed as it is written. It holds nothing that depends on timing
// (no times, no connections), so the same exchange always gives the same lines.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "base/json_string.h"
#include "base/unique_file.h"

namespace devsim {

using base::json_string;

// One event as it happens, for a follower in the same process: `ev` is the line's "ev", `text`
// its text (command, answer, loader image, why gone), `bytes` a data phase's count.
struct TranscriptEvent {
    std::string_view ev;
    std::string_view text;
    uint64_t bytes = 0;
};
using TranscriptFollower = std::function<void(const TranscriptEvent&)>;

class Transcript {
  public:
    Transcript() = default;  // writes nothing
    // Opens (truncating) the file; false when it cannot be created.
    bool open(const std::string& path);
    bool active() const { return file_ != nullptr; }
    // Every event from now on is also handed to `follower`, file or not.
    void follow(TranscriptFollower follower) { follower_ = std::move(follower); }

    void command(std::string_view dev, std::string_view text);
    void answer(std::string_view dev, std::string_view packet);
    void data(std::string_view dev, uint64_t bytes);
    void reboot(std::string_view dev);
    void gone(std::string_view dev, std::string_view why);
    void back(std::string_view dev);
    // a flash: wrote one of the installer's loader images
    void loader(std::string_view dev, std::string_view image);

  private:
    void line(std::string_view dev, std::string_view ev, std::string_view rest);
    // An event with one text, in the line under `key`.
    void text_line(std::string_view dev, std::string_view ev, std::string_view key,
                   std::string_view text);

    void tell(std::string_view ev, std::string_view text, uint64_t bytes = 0) const {
        if (follower_) follower_({ev, text, bytes});
    }

    base::unique_file file_;
    TranscriptFollower follower_;
};

}  // namespace devsim
