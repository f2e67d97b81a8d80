#include "simlink/wire.h"

#include <cstring>

namespace simlink {

void encode_header(Header h, unsigned char out[kHeaderSize]) {
    out[0] = static_cast<unsigned char>(h.kind);
    put_le32(out + 1, h.length);
}

Header decode_header(const unsigned char in[kHeaderSize]) {
    return Header{static_cast<char>(in[0]), get_le32(in + 1)};
}

std::string encode_frame(char kind, std::span<const uint8_t> payload) {
    std::string f(kHeaderSize + payload.size(), '\0');
    auto* p = reinterpret_cast<unsigned char*>(f.data());
    encode_header(Header{kind, static_cast<uint32_t>(payload.size())}, p);
    if (!payload.empty()) std::memcpy(p + kHeaderSize, payload.data(), payload.size());
    return f;
}

std::string encode_frame(char kind, std::string_view payload) {
    return encode_frame(
        kind, std::span(reinterpret_cast<const uint8_t*>(payload.data()), payload.size()));
}

std::string encode_count(uint32_t count) {
    std::string s(kCountSize, '\0');
    put_le32(reinterpret_cast<unsigned char*>(s.data()), count);
    return s;
}

}  // namespace simlink
