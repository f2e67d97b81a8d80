// Pieces of the run that are cheaper to check inside: the texts of the flow and menus all have
// a GBK form and are safe to use as format texts, and "verflag" replies compare as versions.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "console/console.h"
#include "installer/steps/plan_report.h"
#include "installer/steps/steps.h"
#include "installer/steps/texts.h"
#include "support/temp_dir.h"

namespace {

using support::hex_bytes;

TEST(FlowTexts, EveryTextConvertsToGbkAndHoldsNoFormatDirective) {
    std::vector<const char*> texts(std::begin(txt::all_texts), std::end(txt::all_texts));
    texts.insert(texts.end(), plan_texts().begin(), plan_texts().end());
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        // the texts go out as printf formats: a stray '%' would read an argument that is not there
        EXPECT_EQ(std::strchr(text, '%'), nullptr);
        std::string gbk = console_to_gbk(text);  // ends the test program if it cannot convert
        EXPECT_FALSE(gbk.empty());
        EXPECT_NE(gbk, text) << "every text holds Chinese";
    }
}

TEST(FlowTexts, KnownGbkBytes) {
    struct Case {
        const char* text;
        const char* bytes;
    };
    const Case cases[] = {
        {txt::done_line, "0A 23 23 23 CD EA B3 C9 A3 A1 0A"},
        {txt::exit_line, "23 23 23 CD CB B3 F6 28 45 78 69 74 29 21 0A"},
        {txt::name_dual, "CB AB CF B5 CD B3 0A"},
        {txt::opt_exit, "23 23 23 30 2E CD CB B3 F6 28 45 78 69 74 29 A1 A3"},
        // the curly quotes and the full-width colon of the first-install hint
        {txt::head_first_install,
         "0A 23 23 23 B5 DA D2 BB B4 CE B0 B2 D7 B0 CF B5 CD B3 D1 A1 D4 F1 A3 BA A1 B0 32 2E C9 "
         "FD BC B6 26 D6 D8 D6 C3 A1 B1"},
    };
    for (const auto& c : cases) EXPECT_EQ(hex_bytes(console_to_gbk(c.text)), c.bytes) << c.text;
}

TEST(FlowTexts, AllTextsListsEachConstantOnce) {
    size_t n = sizeof txt::all_texts / sizeof txt::all_texts[0];
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = i + 1; j < n; ++j)
            EXPECT_STRNE(txt::all_texts[i], txt::all_texts[j]) << i << " and " << j;
    }
}

TEST(VersionCompare, FirstThreeBytesUnsignedShortReplyLowest) {
    struct Case {
        const char* reply;
        const char* ref;
        int sign;  // -1 older, 0 same, 1 newer
    };
    const Case cases[] = {
        {"Z05", "Z05", 0},
        {"Z04", "Z05", -1},
        {"Z10", "Z05", 1},
        {"Z05abc", "Z05", 0},  // only 3 bytes count
        {"Z0", "Z05", -1},     // the terminating zero is lowest
        {"", "Z05", -1},
        {"9.9", "A.5", -1},  // digits sort before capitals
        {"A.9", "Y00", -1},
        {"a00", "Z05", 1},
        {"\xC0"
         "00",
         "Z05", 1},  // bytes above 0x7F compare as unsigned
    };
    for (const auto& c : cases) {
        int r = version_cmp(c.reply, c.ref);
        int sign = r < 0 ? -1 : r > 0 ? 1 : 0;
        EXPECT_EQ(sign, c.sign) << "\"" << c.reply << "\" against " << c.ref;
    }
}

}  // namespace
