// The CRC-32 register loops behind get_crc32. Each continues a raw register (no inversion at
// either end) over `len` bytes and gives exactly the same result; get_crc32 takes the fastest
// one this processor runs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace crc32_impl {

using register_loop = uint32_t (*)(uint32_t reg, const unsigned char* p, size_t len);

// one byte per table step: the plain algorithm, kept as the reference the others must equal
uint32_t bytewise(uint32_t reg, const unsigned char* p, size_t len);
// eight bytes per step through eight tables; runs anywhere
uint32_t slicing8(uint32_t reg, const unsigned char* p, size_t len);
// carry-less multiplication folding 64 bytes per step; null where the processor has none
register_loop clmul();

// what get_crc32 uses: clmul() when there is one, else slicing8
register_loop fastest();

}  // namespace crc32_impl
