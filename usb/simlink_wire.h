// The simulated USB link: one Unix-domain stream socket per device interface. Every message is
// a frame: one byte kind, a 4-byte little-endian payload length, the payload.
#pragma once

#include <cstddef>
#include <cstdint>

namespace simlink {

// device to host, first frame after connecting: the 18-byte device descriptor, the 9-byte
// interface descriptor, then the serial number's bytes (none when it cannot be read)
constexpr char kDescriptors = 'D';
// host to device: one bulk OUT transfer
constexpr char kWrite = 'W';
// device to host: the count of bytes of the last W frame the device took (4 bytes LE)
constexpr char kAck = 'A';
// device to host: one bulk IN transfer
constexpr char kRead = 'R';

constexpr size_t kHeaderSize = 5;
constexpr size_t kDeviceDescriptorSize = 18;
constexpr size_t kInterfaceDescriptorSize = 9;
// no frame the host accepts is longer than this (a bulk OUT transfer is at most 1 MiB)
constexpr uint32_t kMaxPayload = 16U << 20;

inline void put_le32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

inline uint32_t get_le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace simlink
