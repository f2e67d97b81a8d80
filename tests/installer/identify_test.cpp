#include "installer/stages/identify.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "console/console.h"
#include "installer/boardtype/boardtype.h"
#include "support/capture.h"
#include "support/temp_dir.h"

using support::write_file;

namespace {

std::string mismatch(const std::string& model, const std::string& line) {
    return console_to_gbk("###当前机型(Device)：") + model + "\n" +
           console_to_gbk("###当前固件(Firmware)：") + line + "\n";
}

std::string unknown(const std::string& id) {
    return "###unknown device. INIT:1, PCBSN:" + id + "\n";
}

}  // namespace

TEST(CheckMatch, ModelCodeAgainstConfigLine) {
    console_set_encoding(ConsoleEncoding::Gbk);
    struct row {
        const char* serial;
        std::optional<std::string> config;  // config.bin's contents; none: no file
        int result;
        std::string out;
        bool says_why = false;  // a line on standard error (the wording is seen end to end)
    };
    const std::string long_line = "selkin-but-longer-than-thirty-one-bytes\nsecond line\n";
    const row rows[] = {
        {"13G0001", "vrx3\n", 1, ""},
        {"13G0001", "belto\n", 1, ""},
        {"067ZZ", "vrx3", 1, ""},
        {"07F123", "belto\n", 0, mismatch("tamso", "belto\n")},
        {"07F123", "tamso\n", 1, ""},
        {"0790", "tamsoX", 1, ""},
        {"P00118A", "pagora8plus\n", 1, ""},
        {"P00118A", "belto\n", 0, mismatch("pagora8", "belto\n")},
        {"P00118A", "pagora7\n", 0, mismatch("pagora8", "pagora7\n")},
        {"068Q", "vrx\n", 0, mismatch("vrx3", "vrx\n")},
        {"068Q", "VRX3\n", 0, mismatch("vrx3", "VRX3\n")},
        {"02A9", "vrx2", 1, ""},
        {"02A9", "belto", 0, mismatch("vrx2", "belto")},
        {"02510X", "selkin\n", 1, ""},
        {"02510X", "vrx2\n", 0, mismatch("selkin", "vrx2\n")},
        {"048", "belto", 1, ""},
        {"0620", "pagora7\n", 1, ""},
        {"01908", "belto\n", 1, ""},
        {"051", "pagora\n", 0, mismatch("pagora7", "pagora\n")},
        // the first line is read up to 31 bytes, and only as far as the model names reach
        {"025", long_line, 1, ""},
        {"02E", long_line, 0, mismatch("vrx2", long_line.substr(0, 31))},
        {"ABC", "vrx3\n", 0, unknown("ABC"), true},
        {"p00118", "pagora8\n", 0, unknown("p00118"), true},
        // no config.bin, or an empty one: refused, saying which
        {"13G0001", std::nullopt, 0, "", true},
        {"13G0001", "", 0, "", true},
    };
    for (const row& r : rows) {
        support::ScratchDir dir;
        if (r.config) write_file("config.bin", *r.config);
        int result = -1;
        captured c = capture_output([&] { result = checkmatch(r.serial); });
        EXPECT_EQ(result, r.result) << r.serial << " / " << r.config.value_or("(none)");
        EXPECT_EQ(c.out, r.out) << r.serial << " / " << r.config.value_or("(none)");
        EXPECT_EQ(!c.err.empty(), r.says_why) << r.serial << ": " << c.err;
    }
}

TEST(CheckMatch, StoresTheBoardIdForTheModelQuestions) {
    support::ScratchDir dir;
    write_file("config.bin", "belto\n");
    ASSERT_EQ(checkmatch("13G-SERIAL"), 1);
    EXPECT_STREQ(g_boardtype_serialno, "13G-SERIAL");
    EXPECT_EQ(IS_VRX3_32GB(), 1);
    EXPECT_EQ(IS_VRX3_4GB(), 0);

    // a shorter serial afterwards replaces it completely
    ASSERT_EQ(checkmatch("067"), 1);
    EXPECT_STREQ(g_boardtype_serialno, "067");
    EXPECT_EQ(IS_VRX3_4GB(), 1);
}

TEST(CheckMatch, NullSerialIsRefused) {
    support::ScratchDir dir;
    write_file("config.bin", "vrx3\n");
    captured c = capture_output([] { EXPECT_EQ(checkmatch(nullptr), 0); });
    EXPECT_EQ(c.out, "");
}
