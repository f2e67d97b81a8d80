// Which backend the transport runs over, and the null backend that lists nothing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "support/simlink_peer.h"
#include "support/temp_dir.h"
#include "usb/usb.h"
#include "usb/usb_platform.h"

namespace {

// A set variable always means the simulated link: a path that is not (yet) a directory must not
// send the install to a real device.
TEST(PlatformChoice, TheSimulatedLinkWheneverTheVariableIsSet) {
    const usb_platform* previous = usb_platform_current();
    support::TempDir dir;
    const std::string file = (dir / "plain-file").string();
    std::ofstream(file) << "x";
    struct Case {
        const char* value;  // null: unset
        std::string expected;
    };
    const Case cases[] = {
        {dir.path().c_str(), "devsim"},
        {file.c_str(), "devsim"},
        {"/nonexistent/tessaro", "devsim"},
        {"", "libusb"},
        {nullptr, "libusb"},
    };
    for (const Case& c : cases) {
        if (c.value != nullptr) {
            setenv("TESSARO_DEVSIM_DIR", c.value, 1);
        } else {
            unsetenv("TESSARO_DEVSIM_DIR");
        }
        usb_platform_install(nullptr);  // choose again
        EXPECT_EQ(usb_platform_current()->name, c.expected) << (c.value ? c.value : "(unset)");
    }
    unsetenv("TESSARO_DEVSIM_DIR");
    usb_platform_install(previous);
}

TEST(PlatformChoice, AnInstalledPlatformStaysUntilReplaced) {
    const usb_platform* previous = usb_platform_current();
    usb_platform_install(usb_platform_null());
    support::TempDir dir;
    setenv("TESSARO_DEVSIM_DIR", dir.path().c_str(), 1);
    EXPECT_STREQ(usb_platform_current()->name, "null");
    unsetenv("TESSARO_DEVSIM_DIR");
    usb_platform_install(previous);
}

TEST(NullPlatform, ListsNothing) {
    const usb_platform* previous = usb_platform_current();
    usb_platform_install(usb_platform_null());
    EXPECT_EQ(usb_platform_null()->enum_interfaces(), nullptr);
    EXPECT_EQ(usb_open(match_trevan), nullptr);
    EXPECT_EQ(usb_platform_null()->create_interface("usb:1-1:0"), nullptr);
    usb_platform_install(previous);
}

}  // namespace
