// Joining two CRCs without the bytes: appending len_b zero bytes to A is a linear map over GF(2)
// on the 32-bit register, applied by squaring the one-zero-bit operator for each bit of len_b.
#include <array>
#include <cstdint>

#include "check/crc32.h"

namespace {

using Matrix = std::array<uint32_t, 32>;

uint32_t times(const Matrix& m, uint32_t vec) {
    uint32_t sum = 0;
    for (int i = 0; vec != 0; ++i, vec >>= 1) {
        if ((vec & 1U) != 0) sum ^= m[static_cast<size_t>(i)];
    }
    return sum;
}

Matrix square(const Matrix& m) {
    Matrix out{};
    for (size_t i = 0; i < 32; ++i) out[i] = times(m, m[i]);
    return out;
}

}  // namespace

uint32_t crc32_combine(uint32_t crc_a, uint32_t crc_b, uint64_t len_b) {
    if (len_b == 0) return crc_a;
    // the operator for one zero bit: the reflected polynomial, then a shift
    Matrix op{};
    op[0] = 0xedb88320U;
    for (size_t i = 1; i < 32; ++i) op[i] = 1U << (i - 1);
    op = square(square(op));  // four zero bits
    // each round squares the operator once more: one byte, two, four, ... of zeros
    while (len_b != 0) {
        op = square(op);
        if ((len_b & 1U) != 0) crc_a = times(op, crc_a);
        len_b >>= 1;
    }
    return crc_a ^ crc_b;
}
