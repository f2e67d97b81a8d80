// The run's device handle: opened when first needed (waiting for the device, with the help lines
// of wait_help), closed, and one exchange of the action queue over it.
#include "installer/device.h"

#include <chrono>
#include <thread>

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

}  // namespace

namespace {

void trace_seen(const char* kind, const usb_seen& seen, double seconds) {
    trace::Event(kind)
        .seconds("seconds", seconds)
        .text("serial", serial != nullptr ? serial : "")
        .texts("other_serials", seen.other_serials)
        .texts("refused", seen.refused)
        .texts("busy", seen.busy);
}

}  // namespace

usb_handle* open_device() {
    if (usb_device != nullptr) return usb_device;

    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    auto waited = [&started] {
        return std::chrono::duration<double>(Clock::now() - started).count();
    };
    bool announced = false;
    usb_seen traced;    // what the trace last heard of
    usb_seen reported;  // what the person at the console last heard of
    for (;;) {
        usb_device = usb_open(match_trevan);
        if (usb_device != nullptr) {
            if (announced) trace_seen("wait", traced, waited());
            return usb_device;
        }
        const usb_seen& seen = usb_last_seen();
        if (!announced) {
            con_err("< waiting for device >\n");
            announced = true;
        }
        if (seen != traced) {
            trace_seen("seen", seen, waited());
            traced = seen;
        }
        // the first seconds are a device still starting up: only then is what is seen news
        if (waited() >= kWaitQuietSeconds) {
            for (const std::string& line : wait_help_lines(reported, seen, serial)) {
                con_err("%s", line.c_str());
            }
            reported = seen;
        }
        sleep_seconds(1);
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
