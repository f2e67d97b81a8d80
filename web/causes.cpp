#include "web/causes.h"

#include <algorithm>
#include <array>

namespace web {

namespace {

// What a line tells of the failure.
enum class Tells {
    cause,    // the cause itself
    follows,  // a refusal, which another line of the run may explain
    writing,  // only what was being written
    device,   // the device's model
    package,  // the package's model
};

struct CauseLine {
    bool err;                 // on standard error (else standard output)
    std::string_view head;    // the line begins with this
    std::string_view within;  // and holds this (empty: anything)
    std::string_view tail;    // and ends with this (empty: anything)
    Tells tells;
    Cause cause;
    bool names = false;  // what follows the head is the detail (a version, a file)
};

// The installer's lines by cause; the detail is what follows the head, up to a closing mark.
constexpr std::array kLines = {
    CauseLine{true, "###verflag:", "", "", Tells::cause, Cause::loader_chain, true},
    CauseLine{true, "error: this build carries no loader firmware", "", "", Tells::cause,
              Cause::stand_in},
    CauseLine{false, "###固件错误", "", "", Tells::cause, Cause::other_model},
    CauseLine{false, "###当前机型(Device)：", "", "", Tells::device, Cause::other_model},
    CauseLine{false, "###当前固件(Firmware)：", "", "", Tells::package, Cause::other_model},
    // the host's check of a package file against its signature, and the device's
    CauseLine{true, "error: file checksum ", "", ".bin", Tells::cause, Cause::package_damaged,
              true},
    CauseLine{true, "error: kernel checksum ", "", "", Tells::cause, Cause::package_damaged, true},
    CauseLine{true, "error: device stopped answering", "", "", Tells::cause, Cause::device_lost},
    CauseLine{true, "", "(device gone)", "", Tells::cause, Cause::device_lost},
    // a write or a setting the device refused (a refused query names its command first)
    CauseLine{true, "FAILED (remote", "", "", Tells::follows, Cause::write_refused},
    // the device read back another checksum of a table or loader it was sent
    CauseLine{true, "error: crc checking ", "", "", Tells::follows, Cause::write_refused, true},
    CauseLine{true, "error: loader checksum ", "", "", Tells::follows, Cause::write_refused, true},
    CauseLine{true, "error: downloading ", "", "", Tells::writing, Cause::none, true},
};

bool matches(const CauseLine& l, std::string_view text) {
    return text.starts_with(l.head) &&
           (l.within.empty() || text.find(l.within) != std::string_view::npos) &&
           text.ends_with(l.tail);
}

}  // namespace

std::string_view cause_name(Cause cause) {
    switch (cause) {
        case Cause::none:
            return "";
        case Cause::loader_chain:
            return "loader-chain";
        case Cause::package_damaged:
            return "package-damaged";
        case Cause::device_lost:
            return "device-lost";
        case Cause::write_refused:
            return "write-refused";
        case Cause::stand_in:
            return "stand-in";
        case Cause::other_model:
            return "other-model";
    }
    return "";
}

void CauseFinder::take(bool err, const Event& e) {
    const std::string_view text = e.text;
    const auto* line = std::find_if(kLines.begin(), kLines.end(), [&](const CauseLine& l) {
        return l.err == err && matches(l, text);
    });
    if (line == kLines.end()) return;
    std::string detail(text.substr(line->head.size()));
    switch (line->tells) {
        case Tells::device:
            device_ = detail;
            return;
        case Tells::package:
            package_ = detail;
            return;
        case Tells::writing:
            written_ = detail;
            if (strong_.detail.empty()) strong_.detail = detail;
            if (weak_.detail.empty()) weak_.detail = detail;
            return;
        case Tells::follows:
            if (weak_.cause == Cause::none) weak_.cause = line->cause;
            if (line->names && weak_.detail.empty()) weak_.detail = detail;
            return;
        case Tells::cause:
            if (strong_.cause != Cause::none) return;
            strong_.cause = line->cause;
            strong_.device = device_;
            strong_.package = package_;
            // a line that names nothing of its own keeps what was being written
            strong_.detail = line->names ? detail : written_;
            return;
    }
}

}  // namespace web
