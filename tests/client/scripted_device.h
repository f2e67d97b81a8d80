// A scripted in-memory device behind usb_read, usb_write and usb_close: the test lists the
// packets the device sends and sees what the host wrote and whether the handle was closed.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "usb/usb.h"
#include "usb/usb_platform.h"

struct ScriptedDevice {
    // One bulk IN transfer: the bytes, or a failure leaving err in errno (one of the USB
    // layer's codes, usb_platform_error, as the real layer leaves). A claim above the
    // bytes' size is a USB layer reporting more than it delivered.
    struct Packet {
        std::string bytes;
        int err = 0;
        int claim = -1;
    };
    // Result of one bulk OUT transfer, when it should not simply take everything.
    struct WriteResult {
        int result;
        int err;
    };

    usb_handle handle{};
    std::deque<Packet> packets;
    std::deque<WriteResult> write_results;
    std::vector<std::string> writes;
    std::vector<int> read_sizes;
    int closes = 0;

    void send(std::string bytes) { packets.push_back({std::move(bytes)}); }
    void fail_read(int err) { packets.push_back({"", err}); }
    void fail_write(int result, int err) { write_results.push_back({result, err}); }
};

// The device the next usb_* calls talk to; the tests make a fresh one for every case.
extern ScriptedDevice* g_device;
