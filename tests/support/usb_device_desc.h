// A USB device as the simulated bootloader presents it to a host's USB stack (behind an emulated
// usbfs, or behind a VM's USB redirection): its descriptors and its answers to the standard
// control requests, shared by every adapter that puts the bootloader core on a bus.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "devsim/device_config.h"

namespace support {

// The descriptors of one interface: class, subclass, protocol and how many endpoints (the
// first two are bulk IN and bulk OUT, a third an interrupt IN). Interface n has the endpoints
// 0x81 + 2n (IN) and 0x01 + 2n (OUT).
struct InterfaceSpec {
    uint8_t cls = 0xff;
    uint8_t subclass = 0x42;
    uint8_t protocol = 0x03;
    uint8_t endpoints = 2;
};

struct DeviceDesc {
    uint16_t vendor = 0x18d1;
    uint16_t product = 0x4ee0;
    std::string serial;  // empty: the device has no serial number string
    std::vector<InterfaceSpec> interfaces = {InterfaceSpec{}};
};

// The one-interface device a tessaro-devsim device configuration describes.
DeviceDesc device_desc(const devsim::DeviceConfig& cfg);

// bMaxPacketSize of the bulk endpoints (high speed)
constexpr uint16_t kBulkPacket = 512;

// The standard device descriptor (18 bytes), then the whole configuration descriptor.
std::vector<uint8_t> descriptors(const DeviceDesc& desc);

// The data a device-directed standard IN request (GET_STATUS, GET_DESCRIPTOR of the device,
// the configuration, the language list and the serial number) answers with, cut to wLength;
// nothing for a request the device stalls. `setup` is the 8-byte setup packet.
std::optional<std::string> standard_request(const DeviceDesc& desc, const uint8_t setup[8]);

}  // namespace support
