// Follows an installer run through the bytes it writes: every line of its standard output or
// standard error becomes one event (a menu, a loader version, a file started, a percent, an
// ending, an error line, or plain text). No I/O here: the caller feeds what it read.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace web {

enum class EventKind {
    Menu,     // a menu was shown and the installer waits for a choice
    Choice,   // the choice a menu took (echoed by an unattended menu, or sent by us)
    Loader,   // the device's loader version ("###Ver:")
    Stage,    // a step of the run: a loader or table written, a reboot, a variant switch
    File,     // a package file starts to go out ("###Downloading:NAME")
    Percent,  // the current file's progress bar moved
    Done,     // the install is reported done
    Failed,   // the install failed, or the package was refused
    Left,     // the run ended at a menu's Exit, with nothing installed
    Error,    // an error line ("error: ...")
    Text,     // any other line, shown as it is
};

struct MenuChoice {
    char key = '0';
    std::string text;  // "升级&重置(Upgrade&Wipe)", without the digit and the closing mark
    // the choice wipes the user data of this device (web/menu_wipes.h)
    bool wipes = false;
};

struct Event {
    EventKind kind = EventKind::Text;
    std::string text;   // the line(s) the event stands for, as UTF-8, without the line end
    std::string value;  // loader version, file name, choice key, stage name
    int percent = -1;
    std::vector<std::string> header;  // a menu's heading lines
    std::vector<MenuChoice> choices;  // a menu's choices, in the order shown
};

[[nodiscard]] std::string_view kind_name(EventKind kind);

// The installer's bytes as UTF-8: taken as they are when they are UTF-8, else read as GBK
// (its texts under any other locale). A byte that is neither becomes U+FFFD.
[[nodiscard]] std::string to_utf8(std::string_view bytes);

// A line longer than this is cut: its first bytes become a text event with kCutMark after them
// and the rest of it is dropped here (the run's file keeps the whole output).
constexpr size_t kMaxLine = size_t{64} * 1024;
constexpr std::string_view kCutMark = " [... line cut: longer than 64 KiB]";

class Reader {
  public:
    // `endings`: the stream is standard output, which alone carries the run's endings (done,
    // failed, left). Standard error quotes the device's own text, so an ending there is text.
    explicit Reader(bool endings = true) : endings_(endings) {}
    // Takes the next bytes of the stream; gives the events they complete. A menu's prompt and
    // a progress bar are given as soon as they are whole, without waiting for a line end.
    [[nodiscard]] std::vector<Event> feed(std::string_view bytes);
    // The stream ended: what is left becomes events too.
    [[nodiscard]] std::vector<Event> finish();

  private:
    void line(std::string_view raw, std::vector<Event>& out);
    void take_partial(std::vector<Event>& out);
    void append(std::string_view part, std::vector<Event>& out);
    void line_end(char c, std::vector<Event>& out);
    void options_to_text(std::vector<Event>& out);

    std::string pending_;  // bytes of the line not ended yet
    std::vector<MenuChoice> choices_;
    std::vector<std::string> option_lines_;
    std::vector<std::string> header_;
    bool after_prompt_ = false;  // an unattended menu echoes its choice next
    bool endings_ = true;
    bool ended_ = false;          // done, failed or left was seen
    bool failed_ = false;         // a failure was seen: no later line makes the run done
    bool cutting_ = false;        // the line was cut: its bytes are dropped until it ends
    bool partial_taken_ = false;  // a bar or prompt was given before its line ended
    bool cr_ended_ = false;       // the last byte was a "\r" that ended a line
};

}  // namespace web
