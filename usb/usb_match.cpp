// Which interface is the device: the bootloader vendors, the bootloader's interface class
// triple, and the serial number the user asked for.
#include <array>
#include <cstring>

#include "usb/usb.h"

const char* serial = nullptr;

namespace {

// the vendors whose bootloaders speak this protocol, tested in this order
constexpr std::array<uint16_t, 13> kBootloaderVendors = {
    0x18D1, 0x8087, 0x0451, 0x0502, 0x0FCE, 0x05C6, 0x22B8,
    0x0955, 0x413C, 0x2314, 0x0B05, 0x1949, 0x0BB4,
};

constexpr uint8_t kBootloaderClass = 0xFF;
constexpr uint8_t kBootloaderSubclass = 0x42;
constexpr uint8_t kBootloaderProtocol = 0x03;

}  // namespace

int usb_vendor_listed(uint16_t vendor) {
    for (uint16_t listed : kBootloaderVendors) {
        if (vendor == listed) return 1;
    }
    return 0;
}

int match_trevan_with_serial(usb_ifc_info* info, const char* serial) {
    if (usb_vendor_listed(info->dev_vendor) == 0) return -1;
    if (info->ifc_class != kBootloaderClass || info->ifc_subclass != kBootloaderSubclass ||
        info->ifc_protocol != kBootloaderProtocol) {
        return -1;
    }
    // an empty serial text has always accepted any device, and still does now that interfaces
    // carry the place where their device hangs
    if (serial == nullptr || *serial == '\0') return 0;
    if (std::strcmp(serial, info->serial_number) == 0) return 0;
    if (std::strcmp(serial, info->device_path) == 0) return 0;
    return -1;
}

int match_trevan(usb_ifc_info* info) {
    return match_trevan_with_serial(info, serial);
}
