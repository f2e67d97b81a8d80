// The byte count of a "DATA" status packet.
#pragma once

#include <cstdint>

// Hexadecimal count after leading white space and an optional "0x"; parsing stops at the
// first character that is not a hexadecimal digit and no digits give 0. A count too large
// for 64 bits comes back as UINT64_MAX, which no announced size can match. A sign is not a
// digit: "-1" is 0, never a wrapped-around huge number.
uint64_t parse_status_count(const char* text);
