#include "scripted_device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

ScriptedDevice* g_device = nullptr;

namespace {

// The transport must give up a handle after closing it, and must never pass one it does not
// hold. A null handle behaves as the USB layer's: every transfer fails.
bool usable(usb_handle* h) {
    if (h == nullptr) {
        errno = USB_ERR_INVALID_HANDLE;
        return false;
    }
    EXPECT_EQ(h, &g_device->handle) << "transfer on a handle the device never gave";
    EXPECT_EQ(g_device->closes, 0) << "transfer on a closed handle";
    if (g_device->closes != 0) errno = USB_ERR_INVALID_HANDLE;
    return g_device->closes == 0;
}

}  // namespace

int usb_read(usb_handle* h, void* data, int len) {
    if (!usable(h)) return -1;
    g_device->read_sizes.push_back(len);
    if (g_device->packets.empty()) {
        ADD_FAILURE() << "the host reads more packets than the device sends";
        errno = USB_ERR_IO;
        return -1;
    }
    ScriptedDevice::Packet p = g_device->packets.front();
    g_device->packets.pop_front();
    if (p.err != 0) {
        errno = p.err;
        return -1;
    }
    int n = std::min(len, static_cast<int>(p.bytes.size()));
    std::memcpy(data, p.bytes.data(), n);
    return p.claim >= 0 ? p.claim : n;
}

int usb_write(usb_handle* h, const void* data, int len) {
    if (!usable(h) || len <= 0) return -1;
    g_device->writes.emplace_back(static_cast<const char*>(data), len);
    if (g_device->write_results.empty()) return len;
    ScriptedDevice::WriteResult w = g_device->write_results.front();
    g_device->write_results.pop_front();
    errno = w.err;
    return w.result;
}

int usb_close(usb_handle* h) {
    if (h != nullptr) {
        EXPECT_EQ(h, &g_device->handle);
        ++g_device->closes;
    }
    return 0;
}
