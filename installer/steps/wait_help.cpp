// The lines that explain a wait for the device: other serial numbers, refused and busy devices.
#include "installer/steps/wait_help.h"

#include "console/device_text.h"

namespace {

std::string joined(const std::vector<std::string>& items, bool serials) {
    std::string out;
    for (const std::string& item : items) {
        if (!out.empty()) out += ", ";
        // a serial number is the device's text; the other items are the host's names
        if (!serials)
            out += item;
        else
            out += item.empty() ? "(unreadable)" : device_text(item);
    }
    return out;
}

std::string other_serials_line(const usb_seen& now, const char* wanted) {
    const bool one = now.other_serials.size() == 1;
    return std::string("waiting: ") +
           (one ? "a bootloader device with another serial number is there: "
                : "bootloader devices with other serial numbers are there: ") +
           joined(now.other_serials, true) + " (this run waits for " +
           (wanted != nullptr ? wanted : "any") + ")\n";
}

constexpr char kRefusedSimulatedFix[] =
    "give this user write access to its socket, or run tessaro-devsim as this user";
constexpr char kRefusedFix[] =
    "install the udev rule 70-tessaro.rules and plug the device in again, or (without a seat, "
    "over SSH) give the rule GROUP=\"plugdev\" and join that group; see README.md, \"Real "
    "devices\"";

std::string refused_line(const usb_seen& now) {
    if (now.simulated) {
        return "waiting: access refused to the simulated device " + joined(now.refused, false) +
               "; " + kRefusedSimulatedFix + "\n";
    }
    return "waiting: access refused to the device " + joined(now.refused, false) + "; " +
           kRefusedFix + "\n";
}

std::string busy_line(const usb_seen& now) {
    return std::string("waiting: the ") + (now.simulated ? "simulated device " : "device ") +
           joined(now.busy, false) +
           " is held by another program; end that program, or give this run the SERIAL of "
           "another device\n";
}

}  // namespace

std::vector<std::string> wait_help_lines(const usb_seen& before, const usb_seen& now,
                                         const char* wanted) {
    std::vector<std::string> lines;
    if (now.other_serials != before.other_serials && !now.other_serials.empty()) {
        lines.push_back(other_serials_line(now, wanted));
    }
    if (now.refused != before.refused && !now.refused.empty()) lines.push_back(refused_line(now));
    if (now.busy != before.busy && !now.busy.empty()) lines.push_back(busy_line(now));
    return lines;
}

std::string unopened_fix(UnopenedKind kind, bool simulated) {
    switch (kind) {
        case UnopenedKind::Refused:
            return std::string("Access refused to this user: ") +
                   (simulated ? kRefusedSimulatedFix : kRefusedFix) + ".";
        case UnopenedKind::Busy:
            return "Held by another program (an install may be running on it): end that "
                   "program, or wait for it to finish.";
        case UnopenedKind::NoDriver:
            break;
    }
    return "No WinUSB driver is bound to it: bind WinUSB to it (see README.md, \"Windows\").";
}
