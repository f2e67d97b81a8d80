// The one device handle of the run, opened lazily and waited for, and what the run knows of the
// device it follows.
#pragma once

#include <set>
#include <span>
#include <string>
#include <string_view>

#include "usb/usb.h"

// The device the run follows: where it hangs, and its serial number for a backend that cannot
// tell where.
struct FollowedDevice {
    bool on = false;     // the run follows the first device it opens
    bool found = false;  // ... and has opened it
    std::string path;
    std::string serial;
    // the next start may bring another serial number: the storage-variant switch changes it
    // to one that begins with one of these
    bool serial_may_change = false;
    std::span<const std::string_view> new_serial_prefixes;
    std::set<std::string> named;  // other devices already named on standard error
};

// The run's device: its handle and how the run finds it again. One lives in the run; the
// functions below are given it. Not copied: a handle has one owner.
struct RunDevice {
    RunDevice() = default;
    RunDevice(const RunDevice&) = delete;
    RunDevice& operator=(const RunDevice&) = delete;
    // the handle has one owner: a move takes it, and the owner closes it at its end
    RunDevice(RunDevice&& other) noexcept;
    RunDevice& operator=(RunDevice&& other) noexcept;
    ~RunDevice();

    usb_handle* handle = nullptr;           // the open bootloader interface; null while closed
    bool last_exchange_broke_link = false;  // the last exchange failed because the link failed
    FollowedDevice followed;
    usb_ifc_info accepted{};  // what the match function last accepted
    bool rebooting = false;   // the device was told to reboot and has not been found since
};

// The open device handle; waits (announcing "< waiting for device >" once) until the
// bootloader's interface is there. Never returns null.
[[nodiscard]] usb_handle* open_device(RunDevice& device);
// From the next open on, the run follows the device it opens first: every later open takes
// only the device that hangs where that one did and has its serial number (where the backend
// cannot tell where, the serial number alone), and names any other bootloader it passes by
// once on standard error.
// Off: every open takes the first device the serial number argument allows.
void follow_first_device(RunDevice& device, bool on);
// The device's next start may bring another serial number (the storage-variant switch): the
// next open takes the device where the run's device hangs whatever its serial number; where the
// backend cannot tell where, one with the serial number it had or one that begins with one of
// `prefixes`.
void device_serial_may_change(RunDevice& device, std::span<const std::string_view> prefixes);
// The device was told to reboot: a wait for it that lasts a minute says what to check.
void device_rebooting(RunDevice& device);
// Closes the handle (when one is open) and forgets it. Returns usb_close's result.
int close_device(RunDevice& device);
// One exchange: what is queued runs on the open device (waiting for it), then the queue is
// emptied. The queue's result.
[[nodiscard]] int run_queue(RunDevice& device);
// Whether the last run_queue failed because the link failed (the transport gave up the handle),
// as opposed to the device refusing a command with FAIL.
[[nodiscard]] bool last_exchange_lost_link(const RunDevice& device);
// Whole-second wait.
void sleep_seconds(int seconds);
// From now on the whole-second waits are traced but not waited: a run against the twin of a
// device, whose restarts take no time.
void skip_waits(bool skip);
