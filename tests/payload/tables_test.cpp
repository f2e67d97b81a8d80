// The ten partition tables go to real devices: each is parsed back here and held entry by entry
// to the layouts the devices use.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <ostream>
#include <string>
#include <utility>

#include "image_bytes.h"
#include "payload/payload.h"

namespace {

struct Entry {
    uint8_t flag;
    uint8_t type;
    uint32_t start;
    uint32_t count;
};

enum class Code { stub, zero, none };

struct Layout {
    const char* name;
    payload_kind kind;
    Code code;
    std::array<Entry, 4> entries;
};

constexpr uint8_t B = 0x80;  // bootable
constexpr auto M = payload_kind::main_table, E = payload_kind::extended_table;
// clang-format off
const Layout kLayouts[] = {
    {"mbr350_2g", M, Code::zero, {{{B, 0x83, 65536, 716800}, {0, 0x83, 782336, 131072},
                                   {0, 0x83, 913408, 131072}, {0, 0x0B, 1044480, 2781184}}}},
    {"mbr350_4g", M, Code::zero, {{{B, 0x83, 65536, 716800}, {0, 0x83, 782336, 131072},
                                   {0, 0x83, 913408, 131072}, {0, 0x0B, 1044480, 6688768}}}},
    {"mbrdef", M, Code::zero, {{{B, 0x83, 65536, 921600}, {0, 0x83, 987136, 131072},
                                {0, 0x83, 1118208, 131072}, {0, 0x0B, 1249280, 6385664}}}},
    {"mbr13g", M, Code::stub, {{{B, 0x83, 65536, 921600}, {0, 0x83, 987136, 131072},
                                {0, 0x83, 1118208, 2097152}, {0, 0x0B, 3215360, 57856000}}}},
    {"mbrtiva", M, Code::stub, {{{B, 0x83, 65536, 921600}, {0, 0x83, 987136, 131072},
                                 {0, 0x83, 1118208, 131072}, {0, 0x83, 1822720, 5812224}}}},
    {"embr350_2g", E, Code::stub, {{{0, 0x83, 1794048, 716800}, {0, 0x83, 2510848, 2048},
                                    {0, 0x83, 2512896, 8192}, {0, 0x83, 2674688, 1150976}}}},
    {"embr350_4g", E, Code::none, {{{B, 0x83, 3174400, 716800}, {0, 0x83, 3891200, 2048},
                                    {0, 0x83, 3893248, 8192}, {0, 0x83, 4055040, 3678208}}}},
    {"embrdef", E, Code::none, {{{B, 0x83, 3379200, 870400}, {0, 0x83, 4249600, 2048},
                                 {0, 0x83, 4251648, 8192}, {0, 0x83, 4259840, 3375104}}}},
    {"embr13g", E, Code::none, {{{B, 0x83, 7442432, 870400}, {0, 0x83, 8312832, 2048},
                                 {0, 0x83, 8314880, 8192}, {0, 0x83, 8323072, 52748288}}}},
    {"embrtiva", E, Code::none, {{{B, 0x83, 3952640, 870400}, {0, 0x83, 4823040, 2048},
                                  {0, 0x83, 4825088, 8192}, {0, 0x83, 4833280, 2801664}}}},
};
// clang-format on

// CHS of embr350_2g's entries (first, last) on the 255-head, 63-sector geometry, worked out by
// hand
const std::array<std::array<uint8_t, 6>, 4> kEmbr350_2gChs = {{
    {0xAB, 0x3D, 0x6F, 0x4A, 0x2E, 0x9C},
    {0x4A, 0x2F, 0x9C, 0x6B, 0x0F, 0x9C},
    {0x6B, 0x10, 0x9C, 0xED, 0x11, 0x9C},
    {0x7D, 0x18, 0xA6, 0x22, 0x34, 0xEE},
}};

uint32_t last_sector_end(const payload_image& img) {
    const unsigned char* e = img.bytes + 446 + 3 * 16;
    return le32(e + 8) + le32(e + 12);
}

// test listings name a case by its name, not by its bytes
inline void PrintTo(const Layout& l, std::ostream* os) {
    *os << l.name;
}

class Table : public ::testing::TestWithParam<Layout> {};

TEST_P(Table, ParsesBackToItsLayout) {
    const Layout& want = GetParam();
    const payload_image* img = payload_find(want.name);
    ASSERT_NE(img, nullptr);
    ASSERT_EQ(img->size, 512u);
    EXPECT_EQ(img->kind, want.kind);
    EXPECT_FALSE(img->standin);
    const unsigned char* b = img->bytes;
    EXPECT_EQ(b[510], 0x55);
    EXPECT_EQ(b[511], 0xAA);

    const std::string name = want.name;
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE("entry " + std::to_string(i + 1));
        const unsigned char* e = b + 446 + 16 * i;
        EXPECT_EQ(e[0], want.entries[i].flag);
        EXPECT_EQ(e[4], want.entries[i].type);
        EXPECT_EQ(le32(e + 8), want.entries[i].start);
        EXPECT_EQ(le32(e + 12), want.entries[i].count);
        std::array<uint8_t, 6> chs = {e[1], e[2], e[3], e[5], e[6], e[7]};
        std::array<uint8_t, 6> want_chs = {0x03, 0xD0, 0xFF, 0x03, 0xD0, 0xFF};
        if (name == "mbrtiva" && i == 3) want_chs = {0x03, 0xE0, 0xFF, 0x03, 0xE0, 0xFF};
        if (name == "embr350_2g") want_chs = kEmbr350_2gChs[i];
        EXPECT_EQ(chs, want_chs);
    }

    switch (want.code) {
        case Code::stub:
            // the stub halts a PC that would boot from it: cli, hlt
            EXPECT_EQ(b[0], 0xFA);
            EXPECT_EQ(b[1], 0xF4);
            EXPECT_TRUE(all_zero(b, 75, 440));
            EXPECT_NE(le32(b + 440), 0u) << "disk signature";
            break;
        case Code::zero:
            EXPECT_TRUE(all_zero(b, 0, 440));
            EXPECT_NE(le32(b + 440), 0u) << "disk signature";
            break;
        case Code::none:
            EXPECT_TRUE(all_zero(b, 0, 446));
            break;
    }
    EXPECT_TRUE(all_zero(b, 444, 446));
}

INSTANTIATE_TEST_SUITE_P(Payload, Table, ::testing::ValuesIn(kLayouts),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Tables, EachPairEndsOnTheSameSector) {
    for (const char* layout : {"350_2g", "350_4g", "def", "13g", "tiva"}) {
        const payload_image* main = payload_find(std::string("mbr") + layout);
        const payload_image* ext = payload_find(std::string("embr") + layout);
        ASSERT_TRUE(main && ext) << layout;
        EXPECT_EQ(last_sector_end(*main), last_sector_end(*ext)) << layout;
    }
}

TEST(Tables, ExtendedTablesWithoutCodeAreTheDevicesOwnByteForByte) {
    // these four hold nothing of our own (no stub, no disk signature), so their CRC-32 is that of
    // the tables the devices have always been given
    const std::pair<const char*, const char*> known[] = {
        {"embr350_4g", "7f38860f"},
        {"embrdef", "c0a6a1e3"},
        {"embr13g", "3f2e80f1"},
        {"embrtiva", "90d1a7a8"},
    };
    for (const auto& [name, crc] : known) EXPECT_STREQ(payload_find(name)->crc, crc) << name;
}

}  // namespace
