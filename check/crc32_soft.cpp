// The table-driven register loops, byte at a time and eight bytes at a time.
#include <bit>
#include <cstring>

#include "check/crc32_impl.h"
#include "check/crc32_tables.h"

namespace crc32_impl {

uint32_t bytewise(uint32_t reg, const unsigned char* p, size_t len) {
    const auto& tab = kTables[0];
    for (size_t i = 0; i < len; ++i) reg = (reg >> 8) ^ tab[(reg ^ p[i]) & 0xFFU];
    return reg;
}

uint32_t slicing8(uint32_t reg, const unsigned char* p, size_t len) {
    const auto& t = kTables;
    while (len >= 8) {
        // the register lines up with the first four bytes (little-endian, as the reflected
        // algorithm reads them); the other four go through the tables as they are
        uint32_t lo = 0;
        uint32_t hi = 0;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + 4, 4);
        if constexpr (std::endian::native == std::endian::big) {
            lo = __builtin_bswap32(lo);
            hi = __builtin_bswap32(hi);
        }
        lo ^= reg;
        reg = t[7][lo & 0xFFU] ^ t[6][(lo >> 8) & 0xFFU] ^ t[5][(lo >> 16) & 0xFFU] ^
              t[4][lo >> 24] ^ t[3][hi & 0xFFU] ^ t[2][(hi >> 8) & 0xFFU] ^
              t[1][(hi >> 16) & 0xFFU] ^ t[0][hi >> 24];
        p += 8;
        len -= 8;
    }
    return bytewise(reg, p, len);
}

}  // namespace crc32_impl
