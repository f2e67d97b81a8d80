#include "check/crc32.h"

#include <fcntl.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "check/crc32_impl.h"
#include "console/console.h"

namespace {

// files are read, and buffers taken, a mebibyte at a time: large enough that the fast loop
// runs at memory speed, small enough that memory use does not grow with the file
constexpr size_t kBlock = 1 << 20;
constexpr size_t kSignBytes = 32;

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
    static const crc32_impl::register_loop loop = crc32_impl::fastest();
    return loop(crc ^ 0xFFFFFFFFU, static_cast<const unsigned char*>(buf), len) ^ 0xFFFFFFFFU;
}

uint32_t GetFileCRC(FILE* file) {
    // reads this large go straight into the block past stdio's buffer; the kernel reads ahead
    // (Windows does so by itself for a file read front to back)
#ifndef _WIN32
    ::posix_fadvise(::fileno(file), 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
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
