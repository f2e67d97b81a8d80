// The progress bar's figures: bytes sent, rate and time left, for a person at a terminal.
#include "installer/steps/progress.h"

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>

#include "client/transport.h"
#include "installer/steps/flash_steps.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Current {
    bool active = false;
    uint64_t total = 0;
    uint64_t base = 0;  // the file's offset where the current data phase begins
    uint64_t done = 0;  // bytes of the file the device has taken so far
    Clock::time_point start;
    Clock::time_point drawn;
};
Current& current() {
    static Current file;
    return file;
}

// a terminal is redrawn at most this often; the last piece of a phase always shows
constexpr std::chrono::milliseconds kRedraw{100};

void on_data(uint64_t sent, uint64_t size) {
    Current& file = current();
    file.done = file.base + sent;
    const auto now = Clock::now();
    if (sent != size && now - file.drawn < kRedraw) return;
    file.drawn = now;
    const double share =
        file.total == 0 ? 1.0 : static_cast<double>(file.done) / static_cast<double>(file.total);
    percent(static_cast<int>(share * 100.0));
}

}  // namespace

bool progress_on_terminal() {
    static const bool terminal = ::isatty(STDOUT_FILENO) == 1;
    return terminal;
}

FileProgress::FileProgress(uint64_t total) : on_(progress_on_terminal()) {
    if (!on_) return;
    current() = Current{true, total, 0, 0, Clock::now(), Clock::now()};
    fb_set_data_progress(on_data);
}

FileProgress::~FileProgress() {
    if (!on_) return;
    fb_set_data_progress(nullptr);
    current() = Current{};
}

void FileProgress::at(uint64_t offset) const {
    if (!on_) return;
    current().base = offset;
    current().done = offset;
}

std::string progress_figures() {
    const Current& file = current();
    if (!file.active) return {};
    constexpr double kMiB = 1048576.0;
    const double seconds = std::chrono::duration<double>(Clock::now() - file.start).count();
    const auto done = static_cast<double>(file.done);
    char text[96];
    if (done <= 0 || seconds <= 0) {
        std::snprintf(text, sizeof text, "%.1f/%.1f MiB", done / kMiB,
                      static_cast<double>(file.total) / kMiB);
        return text;
    }
    const double rate = done / seconds;
    const long left = std::lround((static_cast<double>(file.total) - done) / rate);
    std::snprintf(text, sizeof text, "%.1f/%.1f MiB  %.1f MiB/s  %ld:%02ld left", done / kMiB,
                  static_cast<double>(file.total) / kMiB, rate / kMiB, left / 60, left % 60);
    return text;
}
