// The register loop by carry-less multiplication (x86-64 PCLMULQDQ), chosen at run time when
// the processor has it. 128-bit blocks of the message are folded forward onto later blocks
// (a block times x^D is congruent, modulo the polynomial, to its two halves times two 32-bit
// constants), four streams at a time, until one block and a tail of under 16 bytes are left;
// the table loop finishes those. Folding keeps the message's value modulo the polynomial, so
// the register at the end is the one the byte loop would give.
#include <array>
#include <cstring>

#include "check/crc32_impl.h"
#include "check/crc32_tables.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace crc32_impl {

#if defined(__x86_64__)

namespace {

// x^n modulo the polynomial, bit-reflected: bit j holds the coefficient of x^(31-j)
constexpr uint64_t x_pow_mod(unsigned n) {
    uint32_t v = 0x80000000U;
    for (unsigned i = 0; i < n; ++i) v = (v & 1U) ? (v >> 1) ^ kReflectedPoly : v >> 1;
    return v;
}

// Folding a block forward by `d` bits: the block's first eight bytes hold its coefficients of
// x^127..x^64 and its last eight those of x^63..x^0. A 64-bit half times a reflected 32-bit
// constant comes out 33 degrees low in the register's reading, hence x^(d+64-33) for the first
// half and x^(d-33) for the second.
struct fold_constants {
    uint64_t first;
    uint64_t second;
};
constexpr fold_constants constants_for(unsigned d) {
    return {x_pow_mod(d + 64 - 33), x_pow_mod(d - 33)};
}
constexpr fold_constants kFold512 = constants_for(512);
constexpr fold_constants kFold128 = constants_for(128);

__attribute__((target("pclmul"))) inline __m128i fold(__m128i block, __m128i k, __m128i onto) {
    __m128i a = _mm_clmulepi64_si128(block, k, 0x00);
    __m128i b = _mm_clmulepi64_si128(block, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(a, b), onto);
}

__attribute__((target("pclmul"))) inline __m128i load(const unsigned char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

__attribute__((target("pclmul"))) uint32_t clmul_loop(uint32_t reg, const unsigned char* p,
                                                      size_t len) {
    // below four blocks the folding does not pay for itself
    if (len < 64) return slicing8(reg, p, len);

    const __m128i k512 = _mm_set_epi64x(static_cast<long long>(kFold512.second),
                                        static_cast<long long>(kFold512.first));
    const __m128i k128 = _mm_set_epi64x(static_cast<long long>(kFold128.second),
                                        static_cast<long long>(kFold128.first));

    // the register enters as the first four bytes of the message, added in
    __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(reg)));
    __m128i x1 = load(p + 16);
    __m128i x2 = load(p + 32);
    __m128i x3 = load(p + 48);
    p += 64;
    len -= 64;
    while (len >= 64) {
        x0 = fold(x0, k512, load(p));
        x1 = fold(x1, k512, load(p + 16));
        x2 = fold(x2, k512, load(p + 32));
        x3 = fold(x3, k512, load(p + 48));
        p += 64;
        len -= 64;
    }
    x1 = fold(x0, k128, x1);
    x2 = fold(x1, k128, x2);
    x3 = fold(x2, k128, x3);
    while (len >= 16) {
        x3 = fold(x3, k128, load(p));
        p += 16;
        len -= 16;
    }
    std::array<unsigned char, 16> last{};
    _mm_storeu_si128(reinterpret_cast<__m128i*>(last.data()), x3);
    return slicing8(slicing8(0, last.data(), last.size()), p, len);
}

}  // namespace

register_loop clmul() {
    static const bool has = __builtin_cpu_supports("pclmul") != 0;
    return has ? clmul_loop : nullptr;
}

#else

register_loop clmul() {
    return nullptr;
}

#endif

register_loop fastest() {
    static const register_loop loop = clmul() != nullptr ? clmul() : slicing8;
    return loop;
}

}  // namespace crc32_impl
