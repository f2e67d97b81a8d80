#include "web/reader.h"

#include <cstdint>

#include "web/gbk.h"
#include "web/menu_wipes.h"

namespace web {

namespace {

bool starts_with(std::string_view s, std::string_view head) {
    return s.substr(0, head.size()) == head;
}

bool ends_with(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

// Length of the UTF-8 sequence at s[i], or 0 when it is not a whole, well-formed one.
size_t utf8_length(std::string_view s, size_t i) {
    const auto b = static_cast<unsigned char>(s[i]);
    size_t n = 0;
    if (b < 0x80) return 1;
    if (b >= 0xC2 && b <= 0xDF)
        n = 2;
    else if (b >= 0xE0 && b <= 0xEF)
        n = 3;
    else if (b >= 0xF0 && b <= 0xF4)
        n = 4;
    else
        return 0;
    if (i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
    }
    return n;
}

bool is_utf8(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        const size_t n = utf8_length(s, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

// "[#####    ] 42% " (a pipe) or the same with the rate and "\033[K" after it (a terminal)
bool progress_bar(std::string_view s, int& per) {
    if (!starts_with(s, "[")) return false;
    const size_t close = s.find("] ");
    if (close == std::string_view::npos) return false;
    for (size_t i = 1; i < close; ++i) {
        if (s[i] != '#' && s[i] != ' ') return false;
    }
    size_t i = close + 2;
    int value = 0;
    size_t digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9' && digits < 3) {
        value = value * 10 + (s[i] - '0');
        ++i;
        ++digits;
    }
    if (digits == 0 || i >= s.size() || s[i] != '%') return false;
    per = value;
    return true;
}

// A bar is whole once its "% " (pipe) or its erase-to-end (terminal) has come.
bool bar_complete(std::string_view s) {
    int per = 0;
    return progress_bar(s, per) && (ends_with(s, "% ") || ends_with(s, "\033[K"));
}

constexpr std::string_view kPrompt = "###请选择(0-";
// longer than any progress bar (about 130 bytes with its rate) or menu prompt
constexpr size_t kMaxPartial = 1024;

// "###2.升级&重置(Upgrade&Wipe)；" -> '2' and the text between the digit and the closing mark
bool option_line(std::string_view s, MenuChoice& choice) {
    if (s.size() < 6 || !starts_with(s, "###") || s[3] < '0' || s[3] > '9' || s[4] != '.') {
        return false;
    }
    std::string_view text = s.substr(5);
    for (std::string_view mark : {"；", "。"}) {
        if (ends_with(text, mark)) {
            text.remove_suffix(mark.size());
            choice.key = s[3];
            choice.text = std::string(text);
            return true;
        }
    }
    return false;
}

// The lines that end a run: done, failed or left.
bool ending_line(std::string_view s) {
    return s == "Downloading Error!" || starts_with(s, "###固件错误") ||
           starts_with(s, "###完成！") || s == "###退出(Exit)!" || s == "###All Done.";
}

Event make(EventKind kind, std::string text, std::string value = {}) {
    Event e;
    e.kind = kind;
    e.text = std::move(text);
    e.value = std::move(value);
    return e;
}

}  // namespace

std::string_view kind_name(EventKind kind) {
    switch (kind) {
        case EventKind::Menu:
            return "menu";
        case EventKind::Choice:
            return "choice";
        case EventKind::Loader:
            return "loader";
        case EventKind::Stage:
            return "stage";
        case EventKind::File:
            return "file";
        case EventKind::Percent:
            return "percent";
        case EventKind::Done:
            return "done";
        case EventKind::Failed:
            return "failed";
        case EventKind::Left:
            return "left";
        case EventKind::Error:
            return "error";
        case EventKind::Text:
            return "text";
    }
    return "text";
}

std::string to_utf8(std::string_view bytes) {
    if (is_utf8(bytes)) return std::string(bytes);
    return gbk_to_utf8(bytes);
}

std::vector<Event> Reader::feed(std::string_view bytes) {
    std::vector<Event> out;
    while (!bytes.empty()) {
        const size_t end = bytes.find_first_of("\r\n");
        append(bytes.substr(0, end), out);
        if (end == std::string_view::npos) break;
        line_end(bytes[end], out);
        bytes.remove_prefix(end + 1);
    }
    // a prompt or a bar is given now: the installer waits for input, or the bar is the only
    // sign of life until the file is sent
    take_partial(out);
    return out;
}

// Bytes of the current line: kept up to kMaxLine, so one endless line cannot fill the memory.
void Reader::append(std::string_view part, std::vector<Event>& out) {
    if (part.empty()) return;
    partial_taken_ = false;
    cr_ended_ = false;
    if (cutting_) return;
    const size_t room = kMaxLine - pending_.size();
    if (part.size() <= room) {
        pending_ += part;
        return;
    }
    pending_ += part.substr(0, room);
    // the cut falls between two characters, so what is kept stays readable UTF-8
    size_t keep = pending_.size();
    for (size_t back = 1; back <= 3 && back <= keep; ++back) {
        const auto b = static_cast<unsigned char>(pending_[keep - back]);
        if ((b & 0xC0) == 0x80) continue;  // a continuation byte: look further back
        if (b >= 0xC0 && utf8_length(pending_, keep - back) == 0) keep -= back;
        break;
    }
    pending_.resize(keep);
    after_prompt_ = false;
    options_to_text(out);
    out.push_back(make(EventKind::Text, to_utf8(pending_) + std::string(kCutMark)));
    pending_.clear();
    cutting_ = true;
}

void Reader::line_end(char c, std::vector<Event>& out) {
    if (cutting_) {
        // the cut line was given already
        cutting_ = false;
        cr_ended_ = c == '\r';
        partial_taken_ = false;
        return;
    }
    if (c == '\n') {
        // a line that ended right after a bar or a prompt gave that already, and so did the
        // "\r" of a line that ends in "\r\n" (Windows)
        if (!pending_.empty() || !(partial_taken_ || cr_ended_)) line(pending_, out);
        pending_.clear();
        partial_taken_ = false;
        cr_ended_ = false;
    } else {
        cr_ended_ = !pending_.empty();
        if (cr_ended_) line(pending_, out);
        pending_.clear();
        partial_taken_ = false;
    }
}

void Reader::take_partial(std::vector<Event>& out) {
    // a bar or a prompt is short: a longer line waits for its end, and is not scanned again on
    // every read while it grows
    if (pending_.empty() || pending_.size() > kMaxPartial) return;
    const bool prompt = starts_with(pending_, "###") && ends_with(pending_, "):") &&
                        starts_with(to_utf8(pending_), kPrompt);
    if (!prompt && !bar_complete(pending_)) return;
    line(pending_, out);
    pending_.clear();
    partial_taken_ = true;
}

std::vector<Event> Reader::finish() {
    std::vector<Event> out;
    if (!pending_.empty()) line(pending_, out);
    pending_.clear();
    // option lines of a menu whose prompt never came are still shown
    options_to_text(out);
    return out;
}

// Option lines not followed by a prompt stay text.
void Reader::options_to_text(std::vector<Event>& out) {
    for (auto& l : option_lines_) out.push_back(make(EventKind::Text, std::move(l)));
    option_lines_.clear();
    choices_.clear();
}

void Reader::line(std::string_view raw, std::vector<Event>& out) {
    std::string text = to_utf8(raw);
    const bool echo = after_prompt_;
    after_prompt_ = false;
    int per = 0;

    if (progress_bar(text, per)) {
        Event e = make(EventKind::Percent, std::move(text));
        e.percent = per;
        out.push_back(std::move(e));
        return;
    }
    if (MenuChoice choice; option_line(text, choice)) {
        choices_.push_back(std::move(choice));
        option_lines_.push_back(std::move(text));
        return;
    }
    if (starts_with(text, kPrompt)) {
        // an unattended menu writes its choice on the prompt's line
        const size_t close = text.find("):");
        std::string rest = close == std::string::npos ? std::string() : text.substr(close + 2);
        text.resize(text.size() - rest.size());
        Event e = make(EventKind::Menu, {}, text.substr(3));
        for (const auto& l : option_lines_) e.text += l + "\n";
        e.text += text;
        e.header = std::move(header_);
        e.choices = std::move(choices_);
        mark_wipes(e);
        option_lines_.clear();
        choices_.clear();
        header_.clear();
        out.push_back(std::move(e));
        after_prompt_ = true;
        if (!rest.empty()) line(rest, out);
        return;
    }
    // an unattended menu writes the choice it took right after the prompt
    if (echo && text.size() == 1 && text[0] >= '0' && text[0] <= '9') {
        out.push_back(make(EventKind::Choice, text, text));
        return;
    }
    options_to_text(out);

    if (starts_with(text, "###Ver:")) {
        std::string v = text.substr(7);
        if (const size_t comma = v.find(", "); comma != std::string::npos) v.resize(comma);
        out.push_back(make(EventKind::Loader, std::move(text), std::move(v)));
    } else if (starts_with(text, "###Downloading:")) {
        std::string name = text.substr(15);
        out.push_back(make(EventKind::File, std::move(text), std::move(name)));
    } else if (starts_with(text, "Downloading ") && text.find(':') != std::string::npos &&
               text != "Downloading Error!") {
        std::string name = text.substr(12, text.find(':') - 12);
        out.push_back(make(EventKind::File, std::move(text), std::move(name)));
    } else if (!endings_ && ending_line(text)) {
        // said on standard error, where the device's own text is quoted: not the run's ending
        out.push_back(make(EventKind::Text, std::move(text)));
    } else if (text == "Downloading Error!" || starts_with(text, "###固件错误")) {
        ended_ = true;
        failed_ = true;
        out.push_back(make(EventKind::Failed, std::move(text)));
    } else if (starts_with(text, "###完成！")) {
        // a failure sticks: nothing after it makes the run done
        out.push_back(make(failed_ ? EventKind::Text : EventKind::Done, std::move(text)));
        ended_ = true;
    } else if (text == "###退出(Exit)!") {
        const bool refused = ended_;  // after the refusal of the package, the run's own ending
        ended_ = true;
        out.push_back(make(refused ? EventKind::Text : EventKind::Left, std::move(text)));
    } else if (text == "###All Done.") {
        out.push_back(make(ended_ ? EventKind::Text : EventKind::Done, std::move(text)));
        ended_ = true;
    } else if (starts_with(text, "error") || starts_with(text, "Error: ") ||
               starts_with(text, "flash_file err") || starts_with(text, "tessaro-installer: ")) {
        out.push_back(make(EventKind::Error, std::move(text)));
    } else if (starts_with(text, "###") && text.find_first_not_of('#') != std::string::npos &&
               !starts_with(text, "###doreboot:") && !starts_with(text, "###dofast:") &&
               !starts_with(text, "###serial:")) {
        // the run's own headings: the model, the system, a variant switch, a menu's heading
        header_.push_back(text.substr(3));
        out.push_back(make(EventKind::Stage, std::move(text)));
    } else {
        if (starts_with(text, "###")) header_.clear();  // the banner starts a new section
        out.push_back(make(EventKind::Text, std::move(text)));
    }
}

}  // namespace web
