#include "devsim/replay.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <set>

#include "devsim/json_line.h"
#include "devsim/parse_number.h"
#include "devsim/storage.h"

namespace devsim {

namespace {

constexpr std::string_view kTraceMark = "--- trace ---";
// a status read that timed out: the device says nothing for as long as the host waited, and a
// second more, so the host gives up again
constexpr double kSilenceMarginMs = 1000;
constexpr double kSilenceMaxMs = 600000;
// the length of an over-long packet is not in the trace; any past 64 bytes is one
constexpr uint32_t kOverlong = 200;

// One command as the trace recorded it, with what came back.
struct Exchange {
    size_t line = 0;
    std::string command;
    double t = 0;
    std::vector<std::string> before;  // status packets before the data phase (or without one)
    std::vector<std::string> after;   // status packets after the data phase
    bool data = false;
    uint64_t bytes = 0, sent = 0;
    bool short_first = false;  // the data phase's first transfer was taken short
    bool short_later = false;  // a later one was
    std::optional<std::string> error_op, error_text;
    size_t error_line = 0;
    double error_t = 0;
    bool error_after_data = false;
};

struct Trace {
    std::vector<Exchange> exchanges;
    std::vector<std::string> args;  // the installer's arguments
};

std::string line_note(size_t line, std::string_view why) {
    return "line " + std::to_string(line) + ": " + std::string(why);
}

// The trace's lines: after the report's mark when it has one, else the whole file; each with
// its number in the file.
std::vector<std::pair<size_t, std::string_view>> trace_lines(std::string_view file) {
    std::vector<std::pair<size_t, std::string_view>> all;
    size_t number = 0;
    for (size_t at = 0; at < file.size();) {
        size_t end = file.find('\n', at);
        if (end == std::string_view::npos) end = file.size();
        all.emplace_back(++number, file.substr(at, end - at));
        at = end + 1;
    }
    // the last mark: the console before it may hold any text, the trace after it only JSON
    for (size_t i = all.size(); i-- > 0;) {
        std::string_view l = all[i].second;
        if (l.ends_with('\r')) l.remove_suffix(1);
        if (l == kTraceMark) return {all.begin() + static_cast<std::ptrdiff_t>(i) + 1, all.end()};
    }
    return all;
}

bool blank(std::string_view l) {
    return l.find_first_not_of(" \t\r") == std::string_view::npos;
}

// Reads one trace event into `trace`; the reason when the line cannot be used.
std::optional<std::string> take_event(const JsonLine& j, size_t line, Trace& trace) {
    const auto ev = j.text("ev");
    if (!ev) return "no event kind";
    Exchange* last = trace.exchanges.empty() ? nullptr : &trace.exchanges.back();
    if (*ev == "command") {
        const auto text = j.text("text");
        if (!text) return "a command without its text";
        Exchange e;
        e.line = line;
        e.command = *text;
        e.t = j.seconds("t").value_or(0);
        trace.exchanges.push_back(std::move(e));
    } else if (*ev == "reply") {
        const auto text = j.text("text");
        if (!text) return "an answer without its text";
        if (last == nullptr) return "an answer before any command";
        (last->data ? last->after : last->before).emplace_back(*text);
    } else if (*ev == "data") {
        const auto bytes = j.count("bytes");
        const auto sent = j.count("sent");
        if (!bytes || !sent || *sent > *bytes) return "a data phase without its byte counts";
        if (last == nullptr) return "a data phase before any command";
        if (*sent < *bytes) (last->data ? last->short_later : last->short_first) = true;
        last->data = true;
        last->bytes += *bytes;
        last->sent += *sent;
    } else if (*ev == "usb_error") {
        const auto op = j.text("op");
        const auto text = j.text("text");
        if (!op || !text) return "a USB failure without its operation and words";
        if (last == nullptr) return "a USB failure before any command";
        if (!last->error_op) {
            last->error_op = *op;
            last->error_text = *text;
            last->error_line = line;
            last->error_t = j.seconds("t").value_or(last->t);
            last->error_after_data = last->data;
        }
    } else if (*ev == "start") {
        if (const auto* args = j.texts("args")) trace.args = *args;
    }
    // every other event (waits, sleeps, choices, the end) says nothing of the device's answers
    return std::nullopt;
}

std::string literal(std::string_view text) {
    std::string out;
    for (char ch : text) {
        if (ch == '*' || ch == '?' || ch == '[' || ch == '\\') out += '\\';
        out += ch;
    }
    return out;
}

// What a sound device answers first: the queries and checks have no sound answer of their own
// here (they answer as recorded), a download announces its size.
std::optional<std::string> sound_answer(std::string_view command) {
    if (command.starts_with("getvar:") || command.starts_with("check:")) return std::nullopt;
    if (command.starts_with("download:")) {
        const auto size = parse_hex32(command.substr(9));
        if (!size) return std::nullopt;
        char reply[16];
        std::snprintf(reply, sizeof reply, "DATA%08x", *size);
        return reply;
    }
    return "OKAY";
}

class Builder {
  public:
    Builder(DeviceConfig& dev, ReplayRead& read) : dev_(dev), read_(read) {}

    void exchange(const Exchange& e, uint32_t occurrence) {
        e_ = &e;
        occurrence_ = occurrence;
        const std::string* final_answer = nullptr;
        for (const std::string& packet : e.before) {
            if (final_answer != nullptr) break;
            if (packet.starts_with("INFO")) {
                fault(FaultAction::Info, packet.substr(4));
            } else {
                final_answer = &packet;
            }
        }
        if (final_answer != nullptr) {
            const auto sound = sound_answer(e.command);
            if (!sound || *sound != *final_answer) fault(FaultAction::Status, *final_answer);
            learn(*final_answer);
        } else if (e.error_op && !e.error_after_data) {
            lost_before_answer();
        }
        if (e.data) data_phase();
    }

  private:
    void note(size_t line, std::string_view why) {
        read_.skipped.push_back(line_note(line, std::string(why) + "; not replayed"));
    }

    void fault(FaultAction action, std::string text = {}, uint32_t value = 0) {
        Fault f;
        f.pattern = literal(e_->command);
        f.occurrence = occurrence_;
        f.action = action;
        f.text = std::move(text);
        f.value = value;
        dev_.faults.push_back(std::move(f));
    }

    // The device as the run first found it answers queries as it did then; the addresses its
    // checks took are where its partitions start.
    void learn(const std::string& answer) {
        const std::string_view c = e_->command;
        if (c.starts_with("getvar:") && !asked_.contains(std::string(c))) {
            asked_.insert(std::string(c));
            const std::string name(c.substr(7));
            if (answer.starts_with("OKAY")) {
                dev_.vars[name] = answer.substr(4);
            } else {
                dev_.vars.erase(name);
            }
        }
        if (c.starts_with("check:") && answer == "OKAY") {
            const std::string_view rest = c.substr(6);
            const size_t space = rest.find(' ');
            if (space == std::string_view::npos) return;
            const std::string_view where = rest.substr(0, space);
            const size_t colon = where.find(':');
            const std::string_view part = where.substr(0, colon);
            const auto offset = colon == std::string_view::npos
                                    ? std::optional<uint32_t>(0)
                                    : parse_hex32(where.substr(colon + 1));
            const std::string_view fields = rest.substr(space + 1);
            const auto start = parse_hex32(fields.substr(0, fields.find(' ')));
            if (!offset || !start || *start < *offset || !partition_name_ok(part)) return;
            dev_.addresses.try_emplace(std::string(part), *start - *offset);
        }
    }

    // no answer came: the link was lost, or the answer could not be read
    void lost_before_answer() {
        const Exchange& e = *e_;
        if (*e.error_op == "command write") return fault(FaultAction::VanishCommand);
        if (*e.error_text == "timed out") {
            const double ms = std::clamp((e.error_t - e.t) * 1000 + kSilenceMarginMs,
                                         kSilenceMarginMs, kSilenceMaxMs);
            return fault(FaultAction::Silence, {}, static_cast<uint32_t>(ms));
        }
        if (*e.error_text != "device gone") return fault(FaultAction::Oversize, {}, kOverlong);
        if (e.command == "reboot") return fault(FaultAction::Restart);
        if (e.command.starts_with("download:")) {
            // the device takes a download's command or leaves before it: the nearest it does
            note(e.error_line, "the device left between a download's command and its answer");
            return fault(FaultAction::VanishCommand);
        }
        fault(FaultAction::VanishStatus);
    }

    void data_phase() {
        const Exchange& e = *e_;
        if (e.sent < e.bytes) {
            // a device that stops reading stalls the write; one that leaves breaks it
            if (e.error_op == "data") {
                return e.error_text == "timed out"
                           ? fault(FaultAction::ShortWrite, {}, 0)
                           : fault(FaultAction::VanishData, {}, static_cast<uint32_t>(e.sent));
            }
            if (e.short_later) return note(e.line, "a data phase taken short after its first part");
            return fault(FaultAction::ShortWrite, {}, static_cast<uint32_t>(e.sent));
        }
        for (const std::string& packet : e.after) {
            if (packet != "OKAY") return note(e.line, "a download's last answer other than OKAY");
        }
        if (e.error_op && e.error_after_data) {
            if (*e.error_text == "device gone") return fault(FaultAction::VanishStatus);
            note(e.error_line, "a download's last answer that could not be read");
        }
    }

    DeviceConfig& dev_;
    ReplayRead& read_;
    const Exchange* e_ = nullptr;
    uint32_t occurrence_ = 0;
    std::set<std::string> asked_;
};

}  // namespace

ReplayRead replay_into(std::string_view file, DeviceConfig& dev) {
    ReplayRead read;
    Trace trace;
    for (const auto& [number, text] : trace_lines(file)) {
        if (blank(text)) continue;
        const JsonLine j = read_json_line(text);
        std::optional<std::string> why = j.error.empty() ? take_event(j, number, trace) : j.error;
        if (why) read.skipped.push_back(line_note(number, *why + "; skipped"));
    }
    read.exchanges = trace.exchanges.size();

    Builder builder(dev, read);
    std::map<std::string, uint32_t> seen;  // occurrences of each command so far
    for (const Exchange& e : trace.exchanges) builder.exchange(e, ++seen[e.command]);

    // who the device is: the serial number the run asked for, or else the one it answered
    if (trace.args.size() >= 3 && trace.args[2].size() <= kMaxSerial) {
        dev.serial = trace.args[2];
    } else if (auto it = dev.vars.find("serialno"); it != dev.vars.end()) {
        dev.serial = it->second.substr(0, kMaxSerial);
    }
    return read;
}

}  // namespace devsim
