// The frames' bytes, written out by hand: both ends of the link share the encoder, so a fault
// in it would agree with itself and pass every test that runs the two ends against each other.
#include "simlink/wire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

namespace {

struct FrameCase {
    char kind;
    std::string payload;
    std::string bytes;
};

// printed by its kind: gtest's byte dump would read the struct's padding
void PrintTo(const FrameCase& c, std::ostream* os) {
    *os << c.kind << " frame of " << c.payload.size() << " bytes";
}

class WireFrames : public ::testing::TestWithParam<FrameCase> {};

TEST_P(WireFrames, EncodeAndDecodeAgreeWithTheBytesOnTheLink) {
    const FrameCase& c = GetParam();
    EXPECT_EQ(simlink::encode_frame(c.kind, c.payload), c.bytes);

    const auto* raw = reinterpret_cast<const unsigned char*>(c.bytes.data());
    const simlink::Header h = simlink::decode_header(raw);
    EXPECT_EQ(h.kind, c.kind);
    EXPECT_EQ(h.length, c.payload.size());
}

INSTANTIATE_TEST_SUITE_P(
    Frames, WireFrames,
    ::testing::Values(FrameCase{'W', "", std::string("W\0\0\0\0", 5)},
                      FrameCase{'R', "OKAY", std::string("R\x04\0\0\0OKAY", 9)},
                      FrameCase{'A', simlink::encode_count(0x01020304),
                                std::string("A\x04\0\0\0\x04\x03\x02\x01", 9)},
                      FrameCase{'D', std::string(300, 'x'),
                                std::string("D\x2c\x01\0\0", 5) + std::string(300, 'x')}),
    [](const ::testing::TestParamInfo<FrameCase>& info) {
        return std::string(1, info.param.kind);
    });

TEST(WireHeader, DecodesTheLengthAsUnsignedLittleEndian) {
    unsigned char header[simlink::kHeaderSize];
    simlink::encode_header(simlink::Header{'W', 0xfffefdfcU}, header);
    const unsigned char expected[] = {'W', 0xfc, 0xfd, 0xfe, 0xff};
    EXPECT_EQ(0, std::memcmp(header, expected, sizeof expected));
    EXPECT_EQ(simlink::decode_header(header).length, 0xfffefdfcU);
}

}  // namespace
