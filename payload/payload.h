// The images the installer carries in its read-only data and writes to devices without any file
// of the package: four staged loaders that walk an old device loader up its chain of versions,
// three final loaders (one per platform) and five pairs of partition tables (a main table and
// an extended one for the second system's area). Generated at build time by tools/make_payload;
// nothing is built or copied at run time, and nothing here is ever modified or freed.
//
// A build carries either stand-in loaders (the maker's sizes and headers around filler, for the
// simulated device) or, when configured with -DTESSARO_LOADER_DIR, the device maker's loaders.
// The partition tables are real in every build.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

enum class payload_kind {
    staged_loader,   // porter, porter1, porter2, porter3
    final_loader,    // loader_belto, loader_tiva, loader_quessel
    main_table,      // mbr...
    extended_table,  // embr...
};

struct payload_image {
    const char* name;            // "porter1"
    const unsigned char* bytes;  // the image, byte for byte
    uint32_t size;               // its byte count
    const char* crc;             // CRC-32 of the bytes, 8 lowercase hexadecimal digits
    const char* ver;             // final loaders: the 3-character version; null otherwise
    payload_kind kind;
    bool standin;  // a stand-in loader: never to be written to a real device
};

// Every image: the seven loaders in chain order, then the main tables, then the extended ones.
std::span<const payload_image> payload_catalog();
// The image of that name, or null.
const payload_image* payload_find(std::string_view name);
// The image whose bytes start at `bytes` (one of the named objects below), or null.
const payload_image* payload_of(const void* bytes);

// True when the loaders are the device maker's (built with TESSARO_LOADER_DIR).
extern const bool payload_loader_firmware;
// "device firmware" or "stand-in", as --version says it.
const char* payload_loader_kind();

// Each image under its own name, with NAME_size (bytes), NAME_crc (CRC text) and, for final
// loaders, NAME_ver (version text). loader_tiva_ver and loader_quessel_ver are the same text.
extern const unsigned char porter[];
extern const uint32_t porter_size;
extern const char* const porter_crc;
extern const unsigned char porter1[];
extern const uint32_t porter1_size;
extern const char* const porter1_crc;
extern const unsigned char porter2[];
extern const uint32_t porter2_size;
extern const char* const porter2_crc;
extern const unsigned char porter3[];
extern const uint32_t porter3_size;
extern const char* const porter3_crc;
extern const unsigned char loader_belto[];
extern const uint32_t loader_belto_size;
extern const char* const loader_belto_crc;
extern const char* const loader_belto_ver;
extern const unsigned char loader_tiva[];
extern const uint32_t loader_tiva_size;
extern const char* const loader_tiva_crc;
extern const char* const loader_tiva_ver;
extern const unsigned char loader_quessel[];
extern const uint32_t loader_quessel_size;
extern const char* const loader_quessel_crc;
extern const char* const loader_quessel_ver;
extern const unsigned char mbr350_2g[];
extern const uint32_t mbr350_2g_size;
extern const char* const mbr350_2g_crc;
extern const unsigned char mbr350_4g[];
extern const uint32_t mbr350_4g_size;
extern const char* const mbr350_4g_crc;
extern const unsigned char mbrdef[];
extern const uint32_t mbrdef_size;
extern const char* const mbrdef_crc;
extern const unsigned char mbr13g[];
extern const uint32_t mbr13g_size;
extern const char* const mbr13g_crc;
extern const unsigned char mbrtiva[];
extern const uint32_t mbrtiva_size;
extern const char* const mbrtiva_crc;
extern const unsigned char embr350_2g[];
extern const uint32_t embr350_2g_size;
extern const char* const embr350_2g_crc;
extern const unsigned char embr350_4g[];
extern const uint32_t embr350_4g_size;
extern const char* const embr350_4g_crc;
extern const unsigned char embrdef[];
extern const uint32_t embrdef_size;
extern const char* const embrdef_crc;
extern const unsigned char embr13g[];
extern const uint32_t embr13g_size;
extern const char* const embr13g_crc;
extern const unsigned char embrtiva[];
extern const uint32_t embrtiva_size;
extern const char* const embrtiva_crc;
