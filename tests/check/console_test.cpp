#include "console/console.h"

#include <gtest/gtest.h>

#include <string>

#include "console/device_text.h"
#include "support/temp_dir.h"

using support::hex_bytes;

TEST(Console, ChineseTextsBecomeKnownGbkBytes) {
    EXPECT_EQ(hex_bytes(console_to_gbk("完成")), "CD EA B3 C9");
    EXPECT_EQ(hex_bytes(console_to_gbk("退出")), "CD CB B3 F6");
    // full-width punctuation of the menus
    EXPECT_EQ(hex_bytes(console_to_gbk("；")), "A3 BB");
    EXPECT_EQ(hex_bytes(console_to_gbk("###1.升级(Upgrade)")),
              "23 23 23 31 2E C9 FD BC B6 28 55 70 67 72 61 64 65 29");
}

TEST(Console, OutputFollowsTheEncoding) {
    console_set_encoding(ConsoleEncoding::Gbk);
    testing::internal::CaptureStdout();
    con_out("\n###%s%d\n", "完成", 7);  // arguments pass through unconverted
    con_out("\n###完成！");
    con_flush();
    std::string gbk = testing::internal::GetCapturedStdout();
    EXPECT_EQ(gbk, "\n###完成7\n\n###" + console_to_gbk("完成！"));

    console_set_encoding(ConsoleEncoding::Utf8);
    testing::internal::CaptureStdout();
    con_out("\n###完成！");
    con_flush();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n###完成！");
    console_set_encoding(ConsoleEncoding::Gbk);
}

TEST(ConsoleDeathTest, UnconvertibleTextIsAFault) {
    // U+1F600 has no GBK form: the system's own texts must never contain such a character
    EXPECT_EXIT(console_to_gbk("###\xF0\x9F\x98\x80"), testing::ExitedWithCode(1),
                "cannot be written as GBK");
}

// A device's text keeps its printable and high bytes; its control bytes can no longer end a line.
TEST(Console, DeviceTextWritesControlBytesAsEscapes) {
    const std::pair<std::string, std::string> table[] = {
        {"Z07", "Z07"},
        {"", ""},
        {"Z07\n###All Done.", "Z07\\x0a###All Done."},
        {"a\rb\tc\x1b[K", "a\\x0db\\x09c\\x1b[K"},
        {std::string("\0\x1f\x20\x7e\x7f", 5), "\\x00\\x1f ~\\x7f"},
        // GBK and UTF-8 bytes, and a backslash of the device's own, pass unchanged
        {"\x80\xff" + console_to_gbk("完成") + "\xe5\xae\x8c\\",
         "\x80\xff" + console_to_gbk("完成") + "\xe5\xae\x8c\\"},
    };
    for (const auto& [in, out] : table) EXPECT_EQ(device_text(in), out) << in;
}
