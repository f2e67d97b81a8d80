// The command transport against a device that may send anything: the input is cut into the
// operations the host runs and the status packets a scripted device answers with. Whatever the
// device sends, the transport must stay inside its buffers, leave ERROR terminated, succeed only
// on OKAY, and never touch a handle after closing it.
//
// Input: per operation, one byte (bits 0-1: command, command with response, download,
// download; bits 2-3: write behaviour), then the command (a length byte, up to 71 bytes, then
// the bytes) or, for a download, a 16-bit size less one; then, for each status read, a length
// byte (0xff: the read fails; otherwise up to 80 bytes, more than the 64 asked for being a
// broken USB layer's claim) and the packet's bytes.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "client/transport.h"
#include "fuzz_input.h"
#include "usb/usb.h"
#include "usb/usb_platform.h"

namespace {

constexpr int kMaxClaim = 80;
constexpr size_t kResponseSize = 61;
constexpr size_t kMaxDownload = 0x10000;

enum class WriteFault { None, CommandFails, DataShort, DataFails };

struct Device {
    FuzzInput* in = nullptr;
    usb_handle handle{};
    bool closed = false;
    WriteFault fault = WriteFault::None;
    std::vector<std::string> writes;
    std::string last_packet;  // as received, up to what fit in the read
    int reads = 0;
};

Device* g_dev = nullptr;

void check_usable(usb_handle* h) {
    FUZZ_CHECK(h == &g_dev->handle);
    FUZZ_CHECK(!g_dev->closed);
}

}  // namespace

int usb_read(usb_handle* h, void* data, int len) {
    check_usable(h);
    FUZZ_CHECK(len > 0);
    ++g_dev->reads;
    FuzzInput& in = *g_dev->in;
    if (in.empty()) {
        errno = USB_ERR_INVALID_HANDLE;  // nothing left: the device is gone
        return -1;
    }
    uint8_t l = in.byte();
    if (l == 0xff) {
        errno = USB_ERR_IO;
        return -1;
    }
    int claim = l % (kMaxClaim + 1);
    auto bytes = in.take(static_cast<size_t>(claim));
    // a USB layer never writes past the buffer it is given, but a broken one may claim to
    size_t n = std::min(bytes.size(), static_cast<size_t>(len));
    std::memcpy(data, bytes.data(), n);
    g_dev->last_packet.assign(reinterpret_cast<const char*>(bytes.data()), n);
    return claim > len ? claim : static_cast<int>(bytes.size());
}

int usb_write(usb_handle* h, const void* data, int len) {
    check_usable(h);
    // as the USB layer does: an empty transfer is refused
    if (len <= 0) {
        errno = USB_ERR_INVALID_LENGTH;
        return -1;
    }
    // every byte handed over is read, so a length past the caller's buffer shows at once
    std::string bytes(static_cast<const char*>(data), static_cast<size_t>(len));
    g_dev->writes.push_back(bytes);
    bool first = g_dev->writes.size() == 1;
    switch (g_dev->fault) {
        case WriteFault::CommandFails:
            if (first) {
                errno = USB_ERR_IO;
                return -1;
            }
            break;
        case WriteFault::DataShort:
            if (!first) return len - 1;
            break;
        case WriteFault::DataFails:
            if (!first) {
                errno = USB_ERR_IO;
                return -1;
            }
            break;
        case WriteFault::None:
            break;
    }
    return len;
}

int usb_close(usb_handle* h) {
    check_usable(h);
    g_dev->closed = true;
    return 0;
}

namespace {

bool error_terminated() {
    return std::memchr(ERROR, '\0', sizeof ERROR) != nullptr;
}

void run_one(FuzzInput& in) {
    Device dev;
    dev.in = &in;
    g_dev = &dev;
    uint8_t op = in.byte();
    dev.fault = static_cast<WriteFault>((op >> 2) & 3);

    int r = 0;
    std::string sent;
    if ((op & 3) >= 2) {
        uint32_t size = 1 + (in.byte() | static_cast<uint32_t>(in.byte()) << 8);
        static const std::vector<uint8_t> pattern = [] {
            std::vector<uint8_t> v(kMaxDownload);
            for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>(i * 13 + i / 251);
            return v;
        }();
        // exactly the download's size, so a read past it is caught
        auto data = std::make_unique_for_overwrite<uint8_t[]>(size);
        std::memcpy(data.get(), pattern.data(), size);
        r = fb_download_data(&dev.handle, data.get(), size);
        char cmd[32];
        std::snprintf(cmd, sizeof cmd, "download:%08x", size);
        sent = cmd;
        if (r == 0) {
            // the whole download went out, in the order given
            FUZZ_CHECK(dev.writes.size() == 2);
            FUZZ_CHECK(dev.writes[1].size() == size);
            FUZZ_CHECK(std::memcmp(dev.writes[1].data(), data.get(), size) == 0);
        }
    } else {
        auto text = in.take(in.byte() % 72);
        std::string cmd(text.begin(), text.end());
        sent = cmd.substr(0, cmd.find('\0'));  // the transport sees the text up to its first NUL
        if ((op & 3) == 0) {
            r = fb_command(&dev.handle, cmd.c_str());
        } else {
            auto response = std::make_unique_for_overwrite<char[]>(kResponseSize);
            std::memset(response.get(), 0xAA, kResponseSize);
            r = fb_command_response(&dev.handle, cmd.c_str(), response.get());
            FUZZ_CHECK(std::memchr(response.get(), '\0', kResponseSize) != nullptr);
            if (r == 0) {
                // the OKAY's text, up to its first NUL
                FUZZ_CHECK(dev.last_packet.compare(0, 4, "OKAY") == 0);
                FUZZ_CHECK(std::strcmp(response.get(), dev.last_packet.c_str() + 4) == 0);
            }
        }
        if (sent.size() > 64) {
            // refused before anything goes out, and the handle is still the caller's
            FUZZ_CHECK(r == -1 && dev.writes.empty() && !dev.closed);
        }
    }

    FUZZ_CHECK(r == 0 || r == -1);
    FUZZ_CHECK(error_terminated());
    if (!dev.writes.empty()) FUZZ_CHECK(dev.writes[0] == sent);
    if (r == 0) {
        // success is an OKAY the device really sent, on a handle still open
        FUZZ_CHECK(!dev.closed);
        FUZZ_CHECK(dev.last_packet.compare(0, 4, "OKAY") == 0);
    }
    g_dev = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    // the transport keeps ERROR across operations: start from a full, terminated text
    std::memset(ERROR, 'e', sizeof ERROR - 1);
    ERROR[sizeof ERROR - 1] = '\0';
    while (!in.empty()) run_one(in);
    return 0;
}
