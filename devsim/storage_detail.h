// What the storages share inside devsim/: the CRC of long ranges and the test for zeros.
#pragma once

#include <cstdint>
#include <span>

namespace devsim {

// Continues `crc` over `n` bytes (get_crc32 takes 32-bit lengths; ranges may be longer).
uint32_t crc_of(uint32_t crc, const uint8_t* p, uint64_t n);
// True when every byte is zero.
bool all_zero(std::span<const uint8_t> bytes);

}  // namespace devsim
