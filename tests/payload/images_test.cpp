// The catalog: every image agrees with its own size, CRC text and version, under its own name
// and in the table; the stand-in loaders carry the headers of the images they stand for.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <regex>
#include <string>

#include "check/crc32.h"
#include "image_bytes.h"
#include "payload/payload.h"

namespace {

struct Named {
    const char* name;
    const unsigned char* bytes;
    uint32_t size;  // the device maker's image has the same
    uint32_t named_size;
    const char* crc;
    const char* ver;
};

// clang-format off
const Named kNamed[] = {
    {"porter", porter, 152964, porter_size, porter_crc, nullptr},
    {"porter1", porter1, 84820, porter1_size, porter1_crc, nullptr},
    {"porter2", porter2, 86004, porter2_size, porter2_crc, nullptr},
    {"porter3", porter3, 101112, porter3_size, porter3_crc, nullptr},
    {"loader_belto", loader_belto, 101864, loader_belto_size, loader_belto_crc, loader_belto_ver},
    {"loader_tiva", loader_tiva, 138868, loader_tiva_size, loader_tiva_crc, loader_tiva_ver},
    {"loader_quessel", loader_quessel, 208896, loader_quessel_size, loader_quessel_crc, loader_quessel_ver},
    {"mbr350_2g", mbr350_2g, 512, mbr350_2g_size, mbr350_2g_crc, nullptr},
    {"mbr350_4g", mbr350_4g, 512, mbr350_4g_size, mbr350_4g_crc, nullptr},
    {"mbrdef", mbrdef, 512, mbrdef_size, mbrdef_crc, nullptr},
    {"mbr13g", mbr13g, 512, mbr13g_size, mbr13g_crc, nullptr},
    {"mbrtiva", mbrtiva, 512, mbrtiva_size, mbrtiva_crc, nullptr},
    {"embr350_2g", embr350_2g, 512, embr350_2g_size, embr350_2g_crc, nullptr},
    {"embr350_4g", embr350_4g, 512, embr350_4g_size, embr350_4g_crc, nullptr},
    {"embrdef", embrdef, 512, embrdef_size, embrdef_crc, nullptr},
    {"embr13g", embr13g, 512, embr13g_size, embr13g_crc, nullptr},
    {"embrtiva", embrtiva, 512, embrtiva_size, embrtiva_crc, nullptr},
};
// clang-format on

TEST(Catalog, EveryImageAgreesWithItsSizeCrcAndVersion) {
    ASSERT_EQ(payload_catalog().size(), std::size(kNamed));
    size_t i = 0;
    for (const Named& n : kNamed) {
        SCOPED_TRACE(n.name);
        const payload_image& img = payload_catalog()[i++];
        EXPECT_STREQ(img.name, n.name) << "catalog order";
        EXPECT_EQ(payload_find(n.name), &img);
        EXPECT_EQ(payload_of(n.bytes), &img);
        EXPECT_EQ(img.bytes, n.bytes);
        EXPECT_EQ(img.size, n.size);
        EXPECT_EQ(n.named_size, n.size);
        EXPECT_EQ(img.crc, n.crc);
        EXPECT_TRUE(std::regex_match(n.crc, std::regex("[0-9a-f]{8}"))) << n.crc;
        EXPECT_EQ(crc32buffer(n.bytes, n.size, n.crc), 1);
        EXPECT_EQ(img.ver, n.ver);
        EXPECT_EQ(img.standin, !payload_loader_firmware && n.size != 512) << "loaders only";
    }
    EXPECT_STREQ(loader_belto_ver, "Z07");
    EXPECT_STREQ(loader_tiva_ver, "Z05");
    EXPECT_EQ(loader_quessel_ver, loader_tiva_ver) << "one text";
    EXPECT_EQ(payload_find("loader"), nullptr);
    EXPECT_EQ(payload_of(porter + 1), nullptr);
}

uint32_t be32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}
class StandIn : public ::testing::Test {
  protected:
    void SetUp() override {
        if (payload_loader_firmware) GTEST_SKIP() << "this build carries the maker's loaders";
    }
};

TEST_F(StandIn, PorterCarriesAValidLegacyBootHeader) {
    const unsigned char* h = porter;
    EXPECT_EQ(be32(h), 0x27051956u);
    EXPECT_EQ(be32(h + 12), porter_size - 64) << "data bytes";
    EXPECT_EQ(be32(h + 16), 0x88400000u) << "load";
    EXPECT_EQ(be32(h + 20), 0x88400000u) << "entry";
    EXPECT_EQ(be32(h + 24), GetBufferCRC(h + 64, porter_size - 64)) << "data CRC";
    EXPECT_EQ(h[28], 5) << "OS Linux";
    EXPECT_EQ(h[29], 2) << "ARM";
    EXPECT_EQ(h[30], 2) << "kernel";
    EXPECT_EQ(h[31], 0) << "no compression";
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(h + 32), 11),
              std::string("uboot-test\0", 11));
    unsigned char header[64];
    std::memcpy(header, h, sizeof header);
    std::memset(header + 4, 0, 4);
    EXPECT_EQ(be32(h + 4), GetBufferCRC(header, sizeof header)) << "header CRC";
}

// The boot ROM's table at byte 1024 and its boot-data record.
void expect_ivt(const unsigned char* b, uint32_t entry, uint32_t self, uint32_t dcd, uint32_t load,
                uint32_t length, uint32_t plugin) {
    const unsigned char* t = b + 1024;
    EXPECT_EQ(be32(t), 0xD1002040u) << "tag, length 32, version";
    EXPECT_EQ(le32(t + 4), entry);
    EXPECT_EQ(le32(t + 12), dcd);
    EXPECT_EQ(le32(t + 16), self + 0x20) << "boot data";
    EXPECT_EQ(le32(t + 20), self);
    EXPECT_EQ(le32(t + 24), 0u) << "signature block";
    EXPECT_EQ(le32(t + 32), load);
    EXPECT_EQ(le32(t + 36), length);
    EXPECT_EQ(le32(t + 40), plugin);
}

TEST_F(StandIn, ArmBootImagesBranchOverZerosToTheirTable) {
    for (const char* name : {"porter1", "porter2", "porter3", "loader_belto", "loader_tiva"}) {
        SCOPED_TRACE(name);
        const payload_image& img = *payload_find(name);
        EXPECT_EQ(le32(img.bytes), 0xEA000126u);
        EXPECT_TRUE(all_zero(img.bytes, 4, 1024));
        expect_ivt(img.bytes, 0x009804A0, 0x00980400, 0, 0x00980000, img.size + 1024, 1);
    }
}

TEST_F(StandIn, QuesselCarriesDeviceConfigurationData) {
    EXPECT_TRUE(all_zero(loader_quessel, 0, 1024));
    expect_ivt(loader_quessel, 0x00982000, 0x00981400, 0x0098142C, 0x00981000, 208896, 0);
    EXPECT_EQ(be32(loader_quessel + 0x42C), 0xD2027040u) << "tag, length 0x270, version";
}

}  // namespace
