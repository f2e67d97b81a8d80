// The simulated USB link: one Unix-domain stream socket per device interface. Every message is
// a frame: one byte kind, a 4-byte little-endian payload length, the payload. Both ends of the
// link (the installer's USB backend and tessaro-devsim) speak it through this file alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

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
// the payload of an A frame
constexpr size_t kCountSize = 4;
// no frame the host accepts is longer than this (a bulk OUT transfer is at most 1 MiB)
constexpr uint32_t kMaxPayload = 16U << 20;

struct Header {
    char kind = '\0';
    uint32_t length = 0;  // of the payload that follows
};

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

void encode_header(Header h, unsigned char out[kHeaderSize]);
Header decode_header(const unsigned char in[kHeaderSize]);

// A whole frame, header and payload, ready to send.
std::string encode_frame(char kind, std::span<const uint8_t> payload);
std::string encode_frame(char kind, std::string_view payload);
// An A frame's payload: the count of bytes the device took.
std::string encode_count(uint32_t count);

}  // namespace simlink
