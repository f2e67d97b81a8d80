// The run's device handle: opened when first needed (waiting for the device, with the help lines
// of wait_help), closed, and one exchange of the action queue over it.
#include "installer/steps/device.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "client/action_queue.h"
#include "client/transport.h"
#include "console/console.h"
#include "console/device_text.h"
#include "installer/steps/signals.h"
#include "installer/steps/wait_help.h"
#include "trace/trace.h"
#include "usb/usb.h"

namespace {

// How many one-second waits for a device back from a reboot pass before the run says what to
// check.
constexpr int kRebootHintWaits = 60;

// The device whose open is under way. The backend's match functions are plain functions with no
// room for a context, so the one open in progress is named here, only for its duration.
RunDevice* matching = nullptr;

class Matching {
  public:
    explicit Matching(RunDevice& device) { matching = &device; }
    ~Matching() { matching = nullptr; }
    Matching(const Matching&) = delete;
    Matching& operator=(const Matching&) = delete;
};

void trace_seen(const RunDevice& device, const char* kind, const usb_seen& seen, double seconds) {
    trace::Event(kind)
        .seconds("seconds", seconds)
        .text("serial", serial != nullptr ? serial : "")
        .text("path", device.followed.path)
        .texts("other_serials", seen.other_serials)
        .texts("elsewhere", seen.elsewhere)
        .texts("refused", seen.refused)
        .texts("busy", seen.busy);
}

int match_first(usb_ifc_info* info) {
    const int result = match_trevan(info);
    if (result == 0) matching->accepted = *info;
    return result;
}

bool begins_with_one_of(std::string_view text, std::span<const std::string_view> prefixes) {
    return std::ranges::any_of(prefixes,
                               [text](std::string_view p) { return text.starts_with(p); });
}

// The device the run found first: where it hangs and, but across the storage-variant switch
// that changes it by design, its serial number. Another reader plugged into the same port while
// the first restarts is another device, not the one identified. Where the backend cannot tell
// where, the serial number is all there is: across the switch, the one it had (a switch that did
// not take, which the run then names) or one of the variant asked for.
int match_followed(usb_ifc_info* info) {
    if (match_trevan_with_serial(info, nullptr) != 0) return -1;
    const FollowedDevice& followed = matching->followed;
    if (!followed.path.empty() && followed.path != info->device_path) return -1;
    const bool same_serial = followed.serial == info->serial_number;
    if (!followed.serial_may_change && !same_serial) return -1;
    if (followed.serial_may_change && followed.path.empty() && !same_serial &&
        !begins_with_one_of(info->serial_number, followed.new_serial_prefixes)) {
        return -1;
    }
    matching->accepted = *info;
    return 0;
}

// Every bootloader passed by while following is named once in the run.
void name_others(FollowedDevice& followed, const usb_seen& seen) {
    std::vector<std::string> others = seen.elsewhere;
    for (const std::string& s : seen.other_serials) {
        others.push_back(s.empty() ? "(no serial number)" : s);
    }
    for (const std::string& other : others) {
        if (!followed.named.insert(other).second) continue;
        con_err("another device %s is not the one being installed; left alone\n",
                device_text(other).c_str());
    }
}

usb_handle* open_once(RunDevice& device) {
    const Matching open_in_progress(device);
    FollowedDevice& followed = device.followed;
    const usb_ifc_info& accepted = device.accepted;
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
    name_others(followed, usb_last_seen());
    if (h != nullptr && followed.serial_may_change) {
        followed.serial = accepted.serial_number;
        followed.serial_may_change = false;
        followed.new_serial_prefixes = {};
    }
    return h;
}

}  // namespace

void follow_first_device(RunDevice& device, bool on) {
    device.followed = FollowedDevice{};
    device.followed.on = on;
    device.rebooting = false;
}

void device_serial_may_change(RunDevice& device, std::span<const std::string_view> prefixes) {
    device.followed.serial_may_change = true;
    device.followed.new_serial_prefixes = prefixes;
}

void device_rebooting(RunDevice& device) {
    device.rebooting = true;
}

usb_handle* open_device(RunDevice& device) {
    if (device.handle != nullptr) return device.handle;

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
        device.handle = open_once(device);
        if (device.handle != nullptr) {
            if (announced) trace_seen(device, "wait", traced, waited());
            device.rebooting = false;
            return device.handle;
        }
        usb_seen seen = usb_last_seen();
        if (!announced) {
            con_err("< waiting for device >\n");
            announced = true;
            // nothing is on its way to the device while it is waited for
            interruptible.emplace();
        }
        if (seen != traced) {
            trace_seen(device, "seen", seen, waited());
            traced = seen;
        }
        // named by name_others instead: this run waits for one device, not for "any"
        if (device.followed.found) seen.other_serials.clear();
        // the first seconds are a device still starting up: only then is what is seen news
        if (waited() >= kWaitQuietSeconds) {
            for (const std::string& line : wait_help_lines(reported, seen, serial)) {
                con_err("%s", line.c_str());
            }
            reported = seen;
        }
        if (device.rebooting && waits == kRebootHintWaits) {
            con_err(
                "waiting: the device has not come back from its reboot for a minute; check the "
                "USB cable, and that the device shows its bootloader screen\n");
        }
        sleep_seconds(1);
        ++waits;
    }
}

RunDevice::RunDevice(RunDevice&& other) noexcept
    : handle(std::exchange(other.handle, nullptr)),
      last_exchange_broke_link(other.last_exchange_broke_link),
      followed(std::move(other.followed)),
      accepted(other.accepted),
      rebooting(other.rebooting) {}

RunDevice& RunDevice::operator=(RunDevice&& other) noexcept {
    if (this != &other) {
        if (handle != nullptr) (void)usb_close(handle);
        handle = std::exchange(other.handle, nullptr);
        last_exchange_broke_link = other.last_exchange_broke_link;
        followed = std::move(other.followed);
        accepted = other.accepted;
        rebooting = other.rebooting;
    }
    return *this;
}

RunDevice::~RunDevice() {
    if (handle != nullptr) (void)usb_close(handle);
}

int close_device(RunDevice& device) {
    if (device.handle == nullptr) return 0;
    usb_handle* handle = device.handle;
    device.handle = nullptr;
    return usb_close(handle);
}

int run_queue(RunDevice& device) {
    device.handle = open_device(device);
    // the device is there and the first command is about to go: from now on a signal could
    // break off a write
    guard_interrupts();
    const unsigned closes = transport_close_count();
    int result = fb_execute_queue(device.handle);
    // The transport closes the handle itself after a failure that leaves the link in an unknown
    // state. Forgetting it here means it is never used or closed again, and the next exchange
    // searches for the device afresh.
    if (transport_close_count() != closes) device.handle = nullptr;
    fb_free_queue();
    device.last_exchange_broke_link = result != 0 && device.handle == nullptr;
    return result;
}

bool last_exchange_lost_link(const RunDevice& device) {
    return device.last_exchange_broke_link;
}

namespace {
bool g_skip_waits = false;
}  // namespace

void skip_waits(bool skip) {
    g_skip_waits = skip;
}

void sleep_seconds(int seconds) {
    if (seconds <= 0) return;
    // the run's own waits, which a measure of its speed leaves out
    trace::Event("sleep").number("seconds", seconds);
    if (g_skip_waits) return;
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
}
