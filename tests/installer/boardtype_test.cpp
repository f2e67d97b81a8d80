#include "installer/boardtype/boardtype.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct predicates {
    int tamso, rq2, rq3, vrx2, vrx3, vrx3_4gb, vrx3_32gb, selkin;
    bool operator==(const predicates&) const = default;
};

predicates ask_all() {
    return {IS_TAMSO(), IS_RQ2(),      IS_RQ3(),       IS_VRX2(),
            IS_VRX3(),  IS_VRX3_4GB(), IS_VRX3_32GB(), IS_SELKIN()};
}

void PrintTo(const predicates& p, std::ostream* os) {
    *os << "{tamso " << p.tamso << ", rq2 " << p.rq2 << ", rq3 " << p.rq3 << ", vrx2 " << p.vrx2
        << ", vrx3 " << p.vrx3 << ", 4gb " << p.vrx3_4gb << ", 32gb " << p.vrx3_32gb << ", selkin "
        << p.selkin << "}";
}

void set_board(const std::string& id) {
    BOARD_TYPE_SET(id.c_str(), static_cast<int>(id.size()));
}

}  // namespace

TEST(BoardType, PredicatesFollowTheModelCodes) {
    struct row {
        const char* id;
        predicates expected;
    };
    const row rows[] = {
        {"07F12345", {1, 0, 0, 0, 0, 0, 0, 0}}, {"078", {1, 0, 0, 0, 0, 0, 0, 0}},
        {"0790", {1, 0, 0, 0, 0, 0, 0, 0}},     {"051xyz", {0, 1, 0, 0, 0, 0, 0, 0}},
        {"0620", {0, 1, 0, 0, 0, 0, 0, 0}},     {"01908A", {0, 1, 0, 0, 0, 0, 0, 0}},
        {"01907A", {0, 0, 0, 0, 0, 0, 0, 0}},  // five bytes compared, not three
        {"P00118", {0, 0, 1, 0, 0, 0, 0, 0}},   {"P00118ZZZ", {0, 0, 1, 0, 0, 0, 0, 0}},
        {"P0011", {0, 0, 0, 0, 0, 0, 0, 0}},   // shorter than the code
        {"p00118", {0, 0, 0, 0, 0, 0, 0, 0}},  // case-sensitive
        {"02A1", {0, 0, 0, 1, 0, 0, 0, 0}},     {"02F1", {0, 0, 0, 1, 0, 0, 0, 0}},
        {"0271", {0, 0, 0, 1, 0, 0, 0, 0}},     {"02E1", {0, 0, 0, 1, 0, 0, 0, 0}},
        {"02a1", {0, 0, 0, 0, 0, 0, 0, 0}},     {"067ABC", {0, 0, 0, 0, 1, 1, 0, 0}},
        {"068ABC", {0, 0, 0, 0, 1, 1, 0, 0}},   {"13G0042", {0, 0, 0, 0, 1, 0, 1, 0}},
        {"13g0042", {0, 0, 0, 0, 0, 0, 0, 0}},  {"025", {0, 0, 0, 0, 0, 0, 0, 1}},
        {"02510", {0, 0, 0, 0, 0, 0, 0, 1}},    {"047Q", {0, 0, 0, 0, 0, 0, 0, 1}},
        {"026Q", {0, 0, 0, 0, 0, 0, 0, 1}},     {"048Q", {0, 0, 0, 0, 0, 0, 0, 1}},
        {"ABC", {0, 0, 0, 0, 0, 0, 0, 0}},      {"", {0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const row& r : rows) {
        set_board(r.id);
        EXPECT_EQ(ask_all(), r.expected) << "board id " << r.id;
    }
}

TEST(BoardType, SetStoresTheBytesAndTerminatesThem) {
    set_board("P00118-LONG-SERIAL");
    ASSERT_EQ(IS_RQ3(), 1);
    // a shorter serial after a longer one keeps nothing of the longer one
    set_board("078");
    EXPECT_STREQ(g_boardtype_serialno, "078");
    EXPECT_EQ(g_boardtype_init, 1);
    for (size_t i = 3; i < sizeof g_boardtype_serialno; ++i) {
        ASSERT_EQ(g_boardtype_serialno[i], 0) << "byte " << i;
    }
    EXPECT_EQ(IS_RQ3(), 0);
    EXPECT_EQ(IS_TAMSO(), 1);

    // only `len` bytes count, even when the text goes on
    BOARD_TYPE_SET("13G999", 2);
    EXPECT_STREQ(g_boardtype_serialno, "13");
    EXPECT_EQ(IS_VRX3(), 0);

    // a serial of 256 bytes or more keeps 255 and the terminator
    std::string longest(300, 'x');
    longest.replace(0, 3, "13G");
    set_board(longest);
    EXPECT_EQ(std::strlen(g_boardtype_serialno), 255u);
    EXPECT_EQ(std::string(g_boardtype_serialno), longest.substr(0, 255));
    EXPECT_EQ(IS_VRX3_32GB(), 1);
}
