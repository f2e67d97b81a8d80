// The shipped udev rule grants access to exactly the vendors the transport accepts, and only
// for devices that carry the bootloader's interface.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "usb/usb.h"

namespace {

std::string rules_text() {
    std::ifstream in(std::string(TESSARO_SOURCE_DIR) + "/udev/70-tessaro.rules");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(UdevRule, CoversExactlyTheListedVendorsAndOnlyTheBootloaderInterface) {
    const std::string text = rules_text();
    ASSERT_FALSE(text.empty());

    std::set<uint16_t> vendors;
    const std::regex vendor_line(R"re(^ATTR\{idVendor\}=="([0-9a-f]{4})", TAG\+="uaccess"$)re");
    std::istringstream lines(text);
    std::string line;
    int tag_lines = 0;
    while (std::getline(lines, line)) {
        if (line.find("uaccess") != std::string::npos && line[0] != '#') {
            ++tag_lines;
            std::smatch m;
            ASSERT_TRUE(std::regex_match(line, m, vendor_line)) << line;
            vendors.insert(static_cast<uint16_t>(std::stoul(m[1], nullptr, 16)));
        }
    }
    EXPECT_EQ(tag_lines, 13);
    EXPECT_EQ(vendors.size(), 13U);
    for (uint16_t v : vendors) EXPECT_EQ(usb_vendor_listed(v), 1) << std::hex << v;

    // the device must have an ff/42/03 interface, and the rule acts on the device's own node
    EXPECT_NE(text.find("ENV{ID_USB_INTERFACES}!=\"*:ff4203:*\", GOTO=\"tessaro_end\""),
              std::string::npos);
    EXPECT_NE(text.find("ENV{DEVTYPE}!=\"usb_device\", GOTO=\"tessaro_end\""), std::string::npos);
    EXPECT_NE(text.find("LABEL=\"tessaro_end\""), std::string::npos);
}

}  // namespace
