#include "fake_bootloader.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "installer/device.h"
#include "usb/usb.h"
#include "usb/usb_platform.h"

namespace {

fake_bootloader* g_device = nullptr;

// distinct addresses stand for the platform's handles
char enumeration_token;
char interface_token;
char read_pipe_token;
char write_pipe_token;

constexpr const char* kName = "fake0";

void* enum_interfaces() {
    ++g_device->enumerations;
    return &enumeration_token;
}

bool next_interface(void* enumeration, char* name, size_t size) {
    auto* listed = static_cast<char*>(enumeration);
    // one entry per enumeration, and none while the device is away
    if (*listed != 0 || g_device->enumerations <= g_device->absent_for) {
        *listed = 0;
        return false;
    }
    *listed = 1;
    std::snprintf(name, size, "%s", kName);
    return true;
}

void close_enum(void* enumeration) {
    *static_cast<char*>(enumeration) = 0;
}

void* create_interface(const char*) {
    ++g_device->opens;
    ++g_device->open_interfaces;
    return &interface_token;
}

void* open_read_pipe(void*) {
    return &read_pipe_token;
}
void* open_write_pipe(void*) {
    return &write_pipe_token;
}

bool interface_name(void*, char* buf, size_t* len) {
    size_t need = std::strlen(kName) + 1;
    if (buf == nullptr) {
        *len = need;
        return true;
    }
    if (*len < need) return false;
    std::memcpy(buf, kName, need);
    return true;
}

bool device_descriptor(void*, uint8_t out[18]) {
    const uint8_t d[18] = {18,   1,    0x00, 0x02, 0, 0, 0, 64, 0xD1,
                           0x18, 0xE0, 0x4E, 0,    1, 1, 2, 3,  1};
    std::memcpy(out, d, sizeof d);
    return true;
}

bool interface_descriptor(void*, uint8_t out[9]) {
    const uint8_t d[9] = {9, 4, 0, 0, 2, 0xFF, 0x42, 0x03, 0};
    std::memcpy(out, d, sizeof d);
    return true;
}

bool serial_number(void*, char* buf, size_t size) {
    std::snprintf(buf, size, "FAKE0001");
    return true;
}

std::string final_answer(const std::string& command) {
    return g_device->answer ? g_device->answer(command) : std::string("OKAY");
}

void take_command(const std::string& command) {
    fake_bootloader& d = *g_device;
    d.commands.push_back(command);
    if (d.on_command) d.on_command(command);
    if (command.rfind("download:", 0) == 0) {
        std::string reply = final_answer(command);
        if (reply != "OKAY") {
            d.pending.push_back(reply);
            return;
        }
        d.download_size = std::strtoull(command.c_str() + 9, nullptr, 16);
        d.data_left = d.download_size;
        d.download.clear();
        char data[16];
        std::snprintf(data, sizeof data, "DATA%08llx",
                      static_cast<unsigned long long>(d.download_size));
        d.pending.push_back(data);
        return;
    }
    std::string reply = final_answer(command);
    if (command.rfind("flash:", 0) == 0 && reply == "OKAY") {
        d.flashed[command.substr(6)] = d.keep_data ? d.download : std::string();
    }
    d.pending.push_back(reply);
}

bool write_sync(void*, const void* buf, uint32_t len, uint32_t* put, uint32_t) {
    fake_bootloader& d = *g_device;
    const char* bytes = static_cast<const char*>(buf);
    *put = len;
    if (d.data_left > 0) {
        if (d.keep_data) d.download.append(bytes, len);
        d.data_left -= len < d.data_left ? len : d.data_left;
        if (d.data_left == 0) d.pending.push_back("OKAY");
        return true;
    }
    take_command(std::string(bytes, len));
    return true;
}

bool read_sync(void*, void* buf, uint32_t len, uint32_t* got, uint32_t) {
    fake_bootloader& d = *g_device;
    if (d.pending.empty()) {
        // a silent device would hold the transport forever; fail the read instead
        usb_platform_set_last_error(USB_ERR_IO);
        return false;
    }
    std::string packet = d.pending.front();
    d.pending.erase(d.pending.begin());
    uint32_t n = packet.size() < len ? static_cast<uint32_t>(packet.size()) : len;
    std::memcpy(buf, packet.data(), n);
    *got = n;
    return true;
}

void close_handle(void* handle) {
    if (handle == &interface_token) {
        ++g_device->closes;
        --g_device->open_interfaces;
        // a closed link forgets the half-done exchange
        g_device->pending.clear();
        g_device->data_left = 0;
    }
}

const usb_platform fake_platform = {
    "fake",         enum_interfaces, next_interface, close_enum,        create_interface,
    open_read_pipe, open_write_pipe, interface_name, device_descriptor, interface_descriptor,
    serial_number,  read_sync,       write_sync,     close_handle,    true,
};

// the same device, as the USB layer sees one on the host's USB
const usb_platform fake_real_platform = [] {
    usb_platform p = fake_platform;
    p.simulated = false;
    return p;
}();

}  // namespace

fake_bootloader_guard::fake_bootloader_guard(fake_bootloader& device) {
    g_device = &device;
    usb_platform_install(device.simulated ? &fake_platform : &fake_real_platform);
    usb = nullptr;
}

fake_bootloader_guard::~fake_bootloader_guard() {
    close_device();
    usb_platform_install(usb_platform_null());
    g_device = nullptr;
}
