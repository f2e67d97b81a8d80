#include "check/crc32.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "console/console.h"

namespace {

constexpr uint32_t kReflectedPoly = 0xEDB88320U;
constexpr size_t kBlock = 16384;
constexpr size_t kSignBytes = 32;

// entry i is the register after shifting byte i through eight steps of the polynomial
constexpr std::array<uint32_t, 256> make_table() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t t = i;
        for (int k = 0; k < 8; ++k) t = (t & 1U) ? (t >> 1) ^ kReflectedPoly : t >> 1;
        table[i] = t;
    }
    return table;
}

// the table never changes, so it is filled once, at compile time
constexpr std::array<uint32_t, 256> crc_tab32 = make_table();

using File = std::unique_ptr<FILE, decltype([](FILE* f) { std::fclose(f); })>;

File open_or_report(const char* name) {
    File f(std::fopen(name, "rb"));
    if (!f) con_err("Error: %s\n", std::strerror(errno));
    return f;
}

// strtoul with base 16 in a 32-bit unsigned long: white space, a sign and "0x" are taken,
// a value too large for 32 bits saturates, a minus sign negates in 32 bits
uint32_t strtoul32(const char* text) {
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(p, &end, 16);  // NOLINT(google-runtime-int)
    // no digits; a second sign or white space after the sign is no digit either
    if (end == p || *p == '+' || *p == '-' || *p == ' ' || (*p >= '\t' && *p <= '\r')) return 0;
    if (errno == ERANGE || v > 0xFFFFFFFFULL) return 0xFFFFFFFFU;
    auto u = static_cast<uint32_t>(v);
    return negative ? 0U - u : u;
}

// the same over bytes that need not be terminated
uint32_t parse_hex(const char* bytes, size_t len) {
    std::array<char, kSignBytes + 1> text{};
    std::memcpy(text.data(), bytes, len < kSignBytes ? len : kSignBytes);
    return strtoul32(text.data());
}

}  // namespace

uint32_t get_crc32(uint32_t crc, const void* buf, uint32_t len) {
    const auto* p = static_cast<const unsigned char*>(buf);
    uint32_t r = crc ^ 0xFFFFFFFFU;
    for (uint32_t i = 0; i < len; ++i) r = (r >> 8) ^ crc_tab32[(r ^ p[i]) & 0xFFU];
    return r ^ 0xFFFFFFFFU;
}

uint32_t GetFileCRC(FILE* file) {
    std::vector<unsigned char> block(kBlock);
    uint32_t crc = 0;
    for (;;) {
        size_t n = std::fread(block.data(), 1, kBlock, file);
        if (n == 0) break;
        crc = get_crc32(crc, block.data(), static_cast<uint32_t>(n));
    }
    return crc;
}

uint32_t GetBufferCRC(const void* buf, uint32_t len) {
    const auto* p = static_cast<const unsigned char*>(buf);
    uint32_t crc = 0;
    for (uint32_t off = 0; off < len;) {
        uint32_t n = len - off < kBlock ? len - off : static_cast<uint32_t>(kBlock);
        crc = get_crc32(crc, p + off, n);
        off += n;
    }
    return crc;
}

uint32_t GetFileSUM(FILE* file) {
    std::array<char, kSignBytes> bytes{};
    size_t n = std::fread(bytes.data(), 1, bytes.size(), file);
    if (n == 0) return 0;
    return parse_hex(bytes.data(), n);
}

uint32_t GetBufferSUM(const char* text) {
    if (text == nullptr) return 0;
    return strtoul32(text);
}

int crc32check(const char* datafile, const char* signfile) {
    uint32_t crc = 0;
    {
        File data = open_or_report(datafile);
        if (!data) return 0;
        crc = GetFileCRC(data.get());
    }
    File sign = open_or_report(signfile);
    if (!sign) return 0;
    return crc == GetFileSUM(sign.get()) ? 1 : 0;
}

int crc32buffer(const void* buf, uint32_t len, const char* text) {
    return GetBufferCRC(buf, len) == GetBufferSUM(text) ? 1 : 0;
}
