// Reading the fields of an embedded image in the tests: little-endian words and zero runs.
#pragma once

#include <cstddef>
#include <cstdint>

inline uint32_t le32(const unsigned char* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Whether bytes [from, to) are all zero.
inline bool all_zero(const unsigned char* p, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i)
        if (p[i] != 0) return false;
    return true;
}
