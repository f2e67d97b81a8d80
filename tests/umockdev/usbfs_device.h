// One USB device as the kernel's usbfs shows it to libusb, answered in the test process: the
// ioctls of its device node (claims, URBs, control requests, halts, resets) arrive through
// umockdev's preload library from the program under test. A device with a bootloader core
// carries its bulk transfers to the simulated bootloader; one without is only there to be left
// alone, and records whether anybody opened it.
#pragma once

#include <umockdev.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "devsim/bootloader.h"
#include "support/usb_device_desc.h"

namespace umock {

using support::descriptors;
using support::DeviceDesc;
using support::InterfaceSpec;

// What the device saw of its host.
struct Seen {
    int opens = 0;
    std::set<unsigned> claimed;     // interface numbers
    std::vector<unsigned> cleared;  // endpoints whose halt was cleared, in order
    int resets = 0;
};

class UsbfsDevice {
  public:
    // `away(ms)`: the device has left the bus and comes back after `ms` (called with the
    // device's lock held; the bus does the rest on its own thread).
    UsbfsDevice(DeviceDesc desc, devsim::Bootloader* core, std::function<void(uint32_t)> away);
    UsbfsDevice(const UsbfsDevice&) = delete;
    UsbfsDevice& operator=(const UsbfsDevice&) = delete;
    ~UsbfsDevice();

    const DeviceDesc& desc() const { return desc_; }

    // A device node for the device's next appearance on the bus; the nodes of its earlier
    // appearances answer everything with ENODEV from then on, as a kernel does.
    UMockdevIoctlBase* new_node();
    // The device is on the bus again (after away()).
    void back();

    // The IN or OUT transfer with this number (from 1, counted per direction) is answered with a
    // stall, and the endpoint stays halted until the host clears it or resets the device.
    enum class Pipe { In, Out };
    void stall_transfer(Pipe pipe, uint32_t n);
    // A host that went away in the middle of a download leaves the device expecting the rest
    // of its data: what the device would be left in by an installer killed there.
    void left_mid_download(uint32_t size, uint32_t sent);

    Seen seen();

    // umockdev's callbacks, on its worker thread.
    gboolean ioctl(int generation, UMockdevIoctlClient* client);
    void opened(int generation);

  private:
    struct Urb {
        UMockdevIoctlData* urb = nullptr;  // owned
        UMockdevIoctlData* buf = nullptr;  // owned, null for a transfer of no bytes
        uint64_t address = 0;              // the URB's address in the host, its id
        int generation = 0;                // the appearance on the bus it was submitted in
        uint8_t endpoint = 0;
        uint32_t length = 0;
        int status = 0;
        uint32_t actual = 0;
        std::string in;  // what an IN transfer brings
    };

    void submit(UMockdevIoctlClient* client);
    void reap(UMockdevIoctlClient* client, int generation);
    void discard(UMockdevIoctlClient* client);
    void control(Urb& u);
    void bulk_out(Urb u);
    void pump();
    void leave(uint32_t away_ms);
    void finish(Urb u, int status, uint32_t actual);
    static void release(Urb& u);

    std::mutex mu_;
    DeviceDesc desc_;
    std::vector<uint8_t> descriptors_;
    devsim::Bootloader* core_;
    std::function<void(uint32_t)> away_;
    std::vector<UMockdevIoctlBase*> nodes_;
    int generation_ = -1;
    bool on_bus_ = false;
    std::deque<Urb> pending_in_, pending_out_, done_;
    std::set<unsigned> halted_;
    std::optional<std::chrono::steady_clock::time_point> hold_until_;
    uint32_t transfers_[2] = {0, 0};  // by Pipe
    uint32_t stall_at_[2] = {0, 0};
    // counts the transfer; true when it is the one to stall
    bool stalls(Pipe pipe);
    Seen seen_;
};

}  // namespace umock
