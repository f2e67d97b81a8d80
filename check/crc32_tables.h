// The lookup tables of the reflected CRC-32 polynomial: table 0 is the byte table, table k
// carries a byte through k further zero bytes, so eight bytes can be taken in one step.
#pragma once

#include <array>
#include <cstdint>

namespace crc32_impl {

constexpr uint32_t kReflectedPoly = 0xEDB88320U;

using slice_tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr slice_tables make_tables() {
    slice_tables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = i;
        for (int k = 0; k < 8; ++k) r = (r & 1U) ? (r >> 1) ^ kReflectedPoly : r >> 1;
        t[0][i] = r;
    }
    for (size_t k = 1; k < t.size(); ++k) {
        for (uint32_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFFU];
    }
    return t;
}

// filled once, at compile time
inline constexpr slice_tables kTables = make_tables();

}  // namespace crc32_impl
