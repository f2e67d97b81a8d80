// What a run stopped at a wait says the device was left with: the last write it took.
#include "installer/steps/stop_note.h"

#include <algorithm>
#include <string>

namespace {

// kept in a fixed buffer: a signal handler writes it out as it stands
char g_stop_note[512];
size_t g_stop_note_len = 0;

void set_stop_note(std::string_view text) {
    g_stop_note_len = std::min(text.size(), sizeof g_stop_note);
    std::copy_n(text.data(), g_stop_note_len, g_stop_note);
}

}  // namespace

void note_last_write(std::string_view what) {
    if (what.empty()) {
        set_stop_note(
            "\nstopped: nothing has been written to the device yet; running the installer again "
            "starts from the beginning\n");
        return;
    }
    set_stop_note("\nstopped: the last thing written to the device was " + std::string(what) +
                  ";\nrunning the installer again resumes from there\n");
}

std::string_view stop_note() {
    if (g_stop_note_len == 0) note_last_write({});
    return {g_stop_note, g_stop_note_len};
}

std::string_view interrupt_in_write_note() {
    return "\nstopping at the next safe point: a write to the device is never broken off\n";
}
