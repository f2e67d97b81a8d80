// The run's device handle: opened when first needed (waiting for the device, with the help lines
// of wait_help), closed, and one exchange of the action queue over it.
#include "installer/device.h"

#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/action_queue.h"
#include "client/transport.h"
#include "console/console.h"
#include "installer/startup.h"
#include "installer/wait_help.h"
#include "trace/trace.h"
#include "usb/usb.h"

usb_handle* usb_device = nullptr;

namespace {

bool link_lost = false;

// How many one-second waits for a device back from a reboot pass before the run says what to
// check.
constexpr int kRebootHintWaits = 60;

// The device the run follows: where it hangs, and its serial number for a backend that cannot
// tell where.
struct Followed {
    bool on = false;     // the run follows the first device it opens
    bool found = false;  // ... and has opened it
    std::string path;
    std::string serial;
    // the next start may bring another serial number: the storage-variant switch changes it
    bool serial_may_change = false;
    std::set<std::string> named;  // other devices already named on standard error
};
Followed followed;
usb_ifc_info accepted{};  // what the match function last accepted

bool rebooting = false;  // the device was told to reboot and has not been found since

void trace_seen(const char* kind, const usb_seen& seen, double seconds) {
    trace::Event(kind)
        .seconds("seconds", seconds)
        .text("serial", serial != nullptr ? serial : "")
        .text("path", followed.path)
        .texts("other_serials", seen.other_serials)
        .texts("elsewhere", seen.elsewhere)
        .texts("refused", seen.refused)
        .texts("busy", seen.busy);
}

int match_first(usb_ifc_info* info) {
    const int result = match_trevan(info);
    if (result == 0) accepted = *info;
    return result;
}

// The device the run found first: where it hangs and, but across the storage-variant switch
// that changes it by design, its serial number. Another reader plugged into the same port while
// the first restarts is another device, not the one identified.
int match_followed(usb_ifc_info* info) {
    if (match_trevan_with_serial(info, nullptr) != 0) return -1;
    if (!followed.path.empty() && followed.path != info->device_path) return -1;
    if (!followed.serial_may_change && followed.serial != info->serial_number) return -1;
    accepted = *info;
    return 0;
}

// Every bootloader passed by while following is named once in the run.
void name_others(const usb_seen& seen) {
    std::vector<std::string> others = seen.elsewhere;
    for (const std::string& s : seen.other_serials) {
        others.push_back(s.empty() ? "(no serial number)" : s);
    }
    for (const std::string& other : others) {
        if (!followed.named.insert(other).second) continue;
        con_err("another device %s is not the one being installed; left alone\n", other.c_str());
    }
}

usb_handle* open_once() {
    if (!followed.found) {
        usb_handle* h = usb_open(match_first);
        if (h != nullptr && followed.on) {
            followed.found = true;
            followed.path = accepted.device_path;
            followed.serial = accepted.serial_number;
        }
        return h;
    }
    usb_handle* h = usb_open_at(followed.path.c_str(), match_followed);
    name_others(usb_last_seen());
    if (h != nullptr && followed.serial_may_change) {
        followed.serial = accepted.serial_number;
        followed.serial_may_change = false;
    }
    return h;
}

}  // namespace

void follow_first_device(bool on) {
    followed = Followed{};
    followed.on = on;
    rebooting = false;
}

void device_serial_may_change() {
    followed.serial_may_change = true;
}

void device_rebooting() {
    rebooting = true;
}

usb_handle* open_device() {
    if (usb_device != nullptr) return usb_device;

    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    auto waited = [&started] {
        return std::chrono::duration<double>(Clock::now() - started).count();
    };
    bool announced = false;
    int waits = 0;
    usb_seen traced;    // what the trace last heard of
    usb_seen reported;  // what the person at the console last heard of
    std::optional<InterruptibleWait> interruptible;
    for (;;) {
        usb_device = open_once();
        if (usb_device != nullptr) {
            if (announced) trace_seen("wait", traced, waited());
            rebooting = false;
            return usb_device;
        }
        usb_seen seen = usb_last_seen();
        if (!announced) {
            con_err("< waiting for device >\n");
            announced = true;
            // nothing is on its way to the device while it is waited for
            interruptible.emplace();
        }
        if (seen != traced) {
            trace_seen("seen", seen, waited());
            traced = seen;
        }
        // named by name_others instead: this run waits for one device, not for "any"
        if (followed.found) seen.other_serials.clear();
        // the first seconds are a device still starting up: only then is what is seen news
        if (waited() >= kWaitQuietSeconds) {
            for (const std::string& line : wait_help_lines(reported, seen, serial)) {
                con_err("%s", line.c_str());
            }
            reported = seen;
        }
        if (rebooting && waits == kRebootHintWaits) {
            con_err(
                "waiting: the device has not come back from its reboot for a minute; check the "
                "USB cable, and that the device shows its bootloader screen\n");
        }
        sleep_seconds(1);
        ++waits;
    }
}

int close_device() {
    if (usb_device == nullptr) return 0;
    usb_handle* handle = usb_device;
    usb_device = nullptr;
    return usb_close(handle);
}

int run_queue() {
    usb_device = open_device();
    // the device is there and the first command is about to go: from now on a signal could
    // break off a write
    guard_interrupts();
    const unsigned closes = transport_close_count();
    int result = fb_execute_queue(usb_device);
    // The transport closes the handle itself after a failure that leaves the link in an unknown
    // state. Forgetting it here means it is never used or closed again, and the next exchange
    // searches for the device afresh.
    if (transport_close_count() != closes) usb_device = nullptr;
    fb_free_queue();
    link_lost = result != 0 && usb_device == nullptr;
    return result;
}

bool last_exchange_lost_link() {
    return link_lost;
}

void sleep_seconds(int seconds) {
    if (seconds <= 0) return;
    // the run's own waits, which a measure of its speed leaves out
    trace::Event("sleep").number("seconds", seconds);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
}
