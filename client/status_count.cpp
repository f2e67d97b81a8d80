#include "client/status_count.h"

#include <cstdint>

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

}  // namespace

uint64_t parse_status_count(const char* text) {
    const char* p = text;
    while (is_space(*p)) ++p;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) p += 2;
    uint64_t count = 0;
    for (int d; (d = hex_digit(*p)) >= 0; ++p) {
        if (count > (UINT64_MAX >> 4)) return UINT64_MAX;
        count = (count << 4) | static_cast<uint64_t>(d);
    }
    return count;
}
