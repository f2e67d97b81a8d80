// The pieces of the libusb backend that need no device: error translation, the choice of the
// bulk pipes, the entry names and the descriptors' wire form. Exposed for tests.
#pragma once

#include <libusb.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "usb/usb_platform.h"

namespace usb_libusb {

// An interface's default pipes: its first bulk IN and first bulk OUT endpoint (0 when none).
struct BulkEndpoints {
    uint8_t in = 0;
    uint8_t out = 0;
};
BulkEndpoints choose_bulk_endpoints(const libusb_interface_descriptor& ifc);

// A libusb_error as one of the platform codes (LIBUSB_SUCCESS is USB_ERR_NONE).
usb_platform_error translate_error(int libusb_error);

// "usb:BUS-PORT.PORT...:IFC", the same for a device as long as it stays in the same socket.
std::string entry_name(uint8_t bus, const uint8_t* ports, int port_count, int interface_number);
// The "BUS-PORT.PORT..." of an entry name: where the device hangs, the same across its reboots.
// Empty for a name not of that form.
std::string entry_path(std::string_view name);

// The descriptors as the 18 and 9 bytes the device sent (multi-byte fields little-endian).
void device_descriptor_bytes(const libusb_device_descriptor& d, uint8_t out[18]);
void interface_descriptor_bytes(const libusb_interface_descriptor& d, uint8_t out[9]);

// The bootloader's own interface (ff/42/03): the only one that may be taken from a kernel
// driver, and the only one whose refused access is worth telling the user about.
bool is_bootloader_interface(const libusb_interface_descriptor& d);

}  // namespace usb_libusb
