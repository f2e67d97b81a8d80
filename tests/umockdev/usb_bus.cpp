#include "umockdev/usb_bus.h"

#include <unistd.h>

#include <cstdio>

#ifndef TESSARO_UMOCKDEV_PRELOAD
#define TESSARO_UMOCKDEV_PRELOAD ""
#endif

namespace umock {

namespace {

using Clock = std::chrono::steady_clock;

// a device that vanishes is back at once, but after its removal has been announced
constexpr auto kVanishGap = std::chrono::milliseconds(100);

std::string hex4(uint16_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", v);
    return text;
}

}  // namespace

const char* UsbBus::preload_library() {
    return TESSARO_UMOCKDEV_PRELOAD;
}

std::string UsbBus::unavailable() {
    const std::string preload = TESSARO_UMOCKDEV_PRELOAD;
    if (preload.empty()) return "umockdev's preload library was not found when this was built";
    if (::access(preload.c_str(), R_OK) != 0) return preload + " is not installed";
    return {};
}

UsbBus::UsbBus() : testbed_(umockdev_testbed_new()), thread_([this] { run(); }) {}

UsbBus::~UsbBus() {
    {
        std::lock_guard lock(mu_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
    g_object_unref(testbed_);
}

std::map<std::string, std::string> UsbBus::env() const {
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    std::map<std::string, std::string> e = {{"LD_PRELOAD", TESSARO_UMOCKDEV_PRELOAD},
                                            {"UMOCKDEV_DIR", root}};
    g_free(root);
    return e;
}

UsbfsDevice& UsbBus::plug(DeviceDesc desc, devsim::Bootloader* core) {
    auto slot = std::make_unique<Slot>();
    Slot* s = slot.get();
    slot->port = static_cast<int>(slots_.size()) + 1;
    slot->dev = std::make_unique<UsbfsDevice>(std::move(desc), core, [this, s](uint32_t ms) {
        // called on umockdev's thread, with the device locked: the bus thread does the rest
        std::lock_guard lock(mu_);
        leaving_.push_back(s);
        const auto away = ms == 0 ? kVanishGap : std::chrono::milliseconds(ms);
        returns_.emplace(Clock::now() + away, s);
        wake_.notify_all();
    });
    attach(*s);
    slots_.push_back(std::move(slot));
    return *s->dev;
}

// Puts the device on the bus under the next device number, its sysfs entry and node made at
// once so that the add event finds them whole.
void UsbBus::attach(Slot& s) {
    const int devnum = next_devnum_++;
    char node[16];
    std::snprintf(node, sizeof node, "%03d", devnum);
    const std::string devname = std::string("/dev/bus/usb/001/") + node;
    const std::string name = "1-" + std::to_string(s.port);
    const DeviceDesc& desc = s.dev->desc();
    std::string hex;
    for (uint8_t b : descriptors(desc)) {
        char two[4];
        std::snprintf(two, sizeof two, "%02x", b);
        hex += two;
    }
    const std::string record =
        "P: /devices/" + name + "\nN: " + devname.substr(5) + "\nE: DEVNAME=" + devname +
        "\nE: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\nE: BUSNUM=001\nE: DEVNUM=" + node +
        "\nA: busnum=1\\n\nA: devnum=" + std::to_string(devnum) +
        "\\n\nA: speed=480\\n\nA: bConfigurationValue=1\\n\nA: idVendor=" + hex4(desc.vendor) +
        "\\n\nA: idProduct=" + hex4(desc.product) + "\\n\nH: descriptors=" + hex + "\n\n";
    s.syspath = "/sys/devices/" + name;
    GError* err = nullptr;
    umockdev_testbed_add_from_string(testbed_, record.c_str(), &err);
    if (err == nullptr)
        umockdev_testbed_attach_ioctl(testbed_, devname.c_str(), s.dev->new_node(), &err);
    if (err != nullptr) {
        std::fprintf(stderr, "umockdev: cannot add %s: %s\n", devname.c_str(), err->message);
        g_error_free(err);
    }
}

void UsbBus::detach(Slot& s) {
    umockdev_testbed_uevent(testbed_, s.syspath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed_, s.syspath.c_str());
}

// The testbed is changed with the bus unlocked: a device calls in (away) with its own lock held.
void UsbBus::run() {
    std::unique_lock lock(mu_);
    while (!stop_) {
        std::vector<Slot*> leaving;
        leaving.swap(leaving_);
        Slot* back = nullptr;
        if (!returns_.empty() && returns_.begin()->first <= Clock::now()) {
            back = returns_.begin()->second;
            returns_.erase(returns_.begin());
        }
        if (!leaving.empty() || back != nullptr) {
            lock.unlock();
            for (Slot* s : leaving) detach(*s);
            if (back != nullptr) {
                attach(*back);
                back->dev->back();
            }
            lock.lock();
            continue;
        }
        if (returns_.empty()) {
            wake_.wait(lock);
        } else {
            wake_.wait_until(lock, returns_.begin()->first);
        }
    }
}

}  // namespace umock
