// The refusal's help for a person: only what the "###" lines leave out.
#include "installer/steps/refusal_help.h"

#include <filesystem>
#include <string>
#include <vector>

#include "console/console.h"
#include "console/device_text.h"
#include "installer/steps/list_devices.h"
#include "installer/steps/regular_file.h"
#include "installer/steps/run.h"
#include "installer/steps/signals.h"
#include "usb/usb.h"

namespace {

// The bootloaders the search passes by, other than the run's own; nothing is opened, every
// interface is turned down.
std::vector<std::string> g_others;
std::string g_own_path;
std::string g_own_serial;

int note_other(usb_ifc_info* info) {
    if (match_trevan_with_serial(info, nullptr) != 0) return -1;
    const std::string path = info->device_path;
    const bool own = path.empty() ? g_own_serial == info->serial_number : path == g_own_path;
    if (own) return -1;
    std::string name = info->serial_number[0] == '\0' ? std::string("(no serial number)")
                                                      : device_text(info->serial_number);
    if (!path.empty()) name += " at " + path;
    g_others.push_back(name);
    return -1;
}

}  // namespace

void explain_refusal(const InstallRun& run) {
    if (!stderr_is_terminal()) return;
    if (!open_regular_file("config.bin")) {
        std::error_code ec;
        const std::string here = std::filesystem::current_path(ec).string();
        con_err(
            "tessaro-installer: there is no firmware package here (%s has no config.bin);\n"
            "run the installer in the directory that holds the package's files\n",
            here.c_str());
        return;
    }
    // a package for another model, and the device was the first one found
    ListedDevice d;
    describe_board(run.serialno, d);
    if (d.model.empty() || (serial != nullptr && *serial != '\0')) return;
    g_others.clear();
    g_own_path = run.device.accepted.device_path;
    g_own_serial = run.device.accepted.serial_number;
    (void)usb_open(note_other);
    if (g_others.empty()) return;
    std::string list;
    for (const std::string& o : g_others) list += "\n  " + o;
    con_err(
        "tessaro-installer: the first device found is a %s; other bootloader devices are "
        "attached:%s\ngive one's serial number as SERIAL to install on it "
        "(tessaro-installer 1 0 SERIAL)\n",
        d.model.c_str(), list.c_str());
}
