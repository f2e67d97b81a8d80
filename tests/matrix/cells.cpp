#include "matrix/cells.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

namespace matrix {

namespace {

// The status read of a command waits 1012 ms (8 ms per byte of a 64-byte packet plus 500 ms):
// a silence of 700 ms is a slow device, not a dead one.
constexpr int kShortSilenceMs = 700;
// The installer waits 1 s after a reboot; a device that takes this long is met by its waiting
// loop.
constexpr int kLateMs = 3000;

enum Kinds : unsigned {
    kGetvar = 1,
    kSetvar = 2,
    kDownload = 4,
    kFlash = 8,
    kCheck = 16,
    kReboot = 32,
    kAny = 63,
};

struct FaultKind {
    const char* name;
    unsigned kinds;
    // the action after "=", given the command (downloads' counts depend on the size)
    std::string (*action)(const std::string& command);
    int extra_ms = 0;
    bool waits_for_device = false;
    bool refusal = false;        // the device answers, with FAIL
    bool second_device = false;  // not a fault of the device: another one is plugged in
    const char* only = "";       // the commands it applies to begin with this
    bool harmless = false;       // what the device does is its right: the run must end as done
    bool leaves_with_command = false;  // the device leaves the bus once it has the command
};

uint32_t download_size(const std::string& command) {
    return static_cast<uint32_t>(std::strtoul(command.c_str() + 9, nullptr, 16));
}

std::string hex(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", v);
    return text;
}

const FaultKind kFaults[] = {
    {"FAIL", kAny, [](const std::string&) -> std::string { return "fail"; }, 0, false, true},
    {"FAIL with text", kAny, [](const std::string&) -> std::string { return "fail:matrix fault"; },
     0, false, true},
    {"malformed status", kAny, [](const std::string&) -> std::string { return "status:OK"; }},
    {"empty status", kAny, [](const std::string&) -> std::string { return "status:"; }},
    {"unknown status", kAny, [](const std::string&) -> std::string { return "status:WHAT now"; }},
    {"over-long status", kAny, [](const std::string&) -> std::string { return "oversize:200"; }},
    {"INFO flood", kAny, [](const std::string&) -> std::string { return "flood:1000"; }},
    {"silence under the read timeout", kAny,
     [](const std::string&) { return "silence:" + std::to_string(kShortSilenceMs); },
     kShortSilenceMs},
    {"gone at the command", kAny,
     [](const std::string&) -> std::string { return "vanish:command"; }},
    {.name = "gone before the status",
     .kinds = kAny,
     .action = [](const std::string&) -> std::string { return "vanish:status"; },
     .leaves_with_command = true},
    {"DATA count too large", kDownload,
     [](const std::string& c) { return "data-count:" + hex(download_size(c) + 1); }},
    {"DATA count too small", kDownload,
     [](const std::string& c) { return "data-count:" + hex(download_size(c) - 1); }},
    {"short write", kDownload, [](const std::string&) -> std::string { return "short-write:100"; }},
    {"gone in the data phase", kDownload,
     [](const std::string& c) { return "vanish:data:" + std::to_string(download_size(c) / 2); }},
    {"reads back wrong", kFlash, [](const std::string&) -> std::string { return "corrupt"; }},
    {"back late after reboot", kReboot,
     [](const std::string&) { return "away:" + std::to_string(kLateMs); }, kLateMs},
    {"back with another serial", kReboot,
     [](const std::string&) -> std::string { return "serial:OTHER0001"; }, 0, true},
    // the storage-variant switch answered but not carried out: the device comes back with the
    // board id it had, which the installer can see
    {"variant switch not taken", kSetvar,
     [](const std::string&) -> std::string { return "status:OKAY"; }, 0, false, false, false,
     "setvar:respcb "},
    {"a twin plugged in meanwhile", kReboot, [](const std::string&) -> std::string { return ""; },
     0, false, false, true},
    // a loader that restarts on "reboot" before its answer is out
    {"link lost before the reboot's answer, the device restarts", kReboot,
     [](const std::string&) -> std::string { return "restart"; }, 0, false, false, false, "", true},
};

unsigned kind_of(const std::string& c) {
    if (c.starts_with("getvar:")) return kGetvar;
    if (c.starts_with("setvar:")) return kSetvar;
    if (c.starts_with("download:")) return kDownload;
    if (c.starts_with("flash:")) return kFlash;
    if (c.starts_with("check:")) return kCheck;
    if (c == "reboot") return kReboot;
    return 0;
}

// the partition a flash: or check: names
std::string partition_of(const std::string& c) {
    const size_t start = c.find(':') + 1;
    const size_t end = c.find_first_of(": ", start);
    return c.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// A write that a later check reads: only then can the device see that it reads back wrong.
bool checked_later(const std::vector<std::string>& commands, size_t at) {
    const std::string part = partition_of(commands[at]);
    for (size_t i = at + 1; i < commands.size(); ++i) {
        if (kind_of(commands[i]) == kCheck && partition_of(commands[i]) == part) return true;
        if (kind_of(commands[i]) == kFlash && partition_of(commands[i]) == part) return false;
    }
    return false;
}

// A glob that matches exactly this text.
std::string literal_glob(const std::string& text) {
    std::string out;
    for (char ch : text) {
        if (ch == '*' || ch == '?' || ch == '[' || ch == '\\') out += '\\';
        out += ch;
    }
    return out;
}

}  // namespace

std::vector<Cell> make_cells(const std::vector<std::string>& commands, bool fast) {
    std::vector<Cell> cells;
    std::map<std::string, int> seen;                       // occurrences of each command so far
    std::set<std::pair<const FaultKind*, unsigned>> done;  // fast: fault and kind covered
    for (size_t i = 0; i < commands.size(); ++i) {
        const std::string& c = commands[i];
        const int occurrence = ++seen[c];
        const unsigned kind = kind_of(c);
        for (const FaultKind& f : kFaults) {
            if ((f.kinds & kind) == 0 || !c.starts_with(f.only)) continue;
            if (kind == kFlash && !checked_later(commands, i)) continue;
            if (fast && !done.insert({&f, kind}).second) continue;
            if (f.second_device) {
                cells.push_back({i, c, f.name, "", f.extra_ms, false, {}, occurrence});
                continue;
            }
            cells.push_back(
                {i, c, f.name,
                 literal_glob(c) + "#" + std::to_string(occurrence) + "=" + f.action(c), f.extra_ms,
                 f.waits_for_device, f.refusal && kind == kGetvar ? c.substr(7) : std::string(), 0,
                 f.harmless, f.leaves_with_command && kind == kReboot && i + 1 == commands.size()});
        }
    }
    return cells;
}

const std::vector<std::string>& out_of_scope() {
    static const std::vector<std::string> list = {
        "OKAY without writing: a lying device, which no host can tell from an honest one",
        "a write that reads back wrong where no later check reads it: the same lying device",
    };
    return list;
}

}  // namespace matrix
