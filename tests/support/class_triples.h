// Interface class triples (class, subclass, protocol) that a host may meet, and whether each is
// the bootloader's: the cases of every test of how an interface is told to be the bootloader.
#pragma once

#include <cstdint>

namespace support {

struct ClassTriple {
    uint8_t cls, subclass, protocol;
    bool bootloader;
};

// the bootloader's, its neighbours, and common classes (mass storage, HID)
inline constexpr ClassTriple kClassTriples[] = {
    {0xFF, 0x42, 0x03, true},  {0xFF, 0x42, 0x01, false}, {0xFF, 0x42, 0x00, false},
    {0xFF, 0x43, 0x03, false}, {0xFE, 0x42, 0x03, false}, {0xFF, 0xFF, 0xFF, false},
    {0x08, 0x06, 0x50, false}, {0x03, 0x01, 0x02, false},
};

}  // namespace support
