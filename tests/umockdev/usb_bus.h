// A USB bus of emulated devices in a umockdev testbed: each device has its sysfs entry (with the
// descriptors libusb reads there) and a device node whose ioctls a UsbfsDevice answers. A device
// that leaves the bus (a reboot, a vanish) is removed and comes back later on the same port with
// the next device number, announced by uevents as the kernel does.
#pragma once

#include <umockdev.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "umockdev/usbfs_device.h"

namespace umock {

class UsbBus {
  public:
    // What keeps the emulation from running here; empty when nothing does.
    static std::string unavailable();
    // The library that puts a program on the emulated bus (LD_PRELOAD).
    static const char* preload_library();

    UsbBus();
    ~UsbBus();
    UsbBus(const UsbBus&) = delete;
    UsbBus& operator=(const UsbBus&) = delete;

    // Plugs a device into the next port; `core` (may be null) answers its bulk transfers.
    UsbfsDevice& plug(DeviceDesc desc, devsim::Bootloader* core);

    // The variables a program needs to see this bus instead of the host's.
    std::map<std::string, std::string> env() const;

  private:
    struct Slot {
        std::unique_ptr<UsbfsDevice> dev;
        int port = 0;
        std::string syspath;
    };
    void attach(Slot& s);
    void detach(Slot& s);
    void run();

    UMockdevTestbed* testbed_;
    std::vector<std::unique_ptr<Slot>> slots_;
    int next_devnum_ = 2;

    // devices that come back, and when; served by the bus thread
    std::mutex mu_;
    std::condition_variable wake_;
    std::multimap<std::chrono::steady_clock::time_point, Slot*> returns_;
    std::vector<Slot*> leaving_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace umock
