// The test program runs under umockdev's preload library, as its testbed needs (the uevents it
// sends are read back through it): started without, it starts itself again with it.
#include <gtest/gtest.h>
#include <umockdev.h>
#include <unistd.h>

#include <cstdlib>

#include "umockdev/usb_bus.h"

int main(int argc, char** argv) {
    if (getenv("TESSARO_UMOCKDEV_PRELOADED") == nullptr && umock::UsbBus::unavailable().empty()) {
        setenv("TESSARO_UMOCKDEV_PRELOADED", "1", 1);
        setenv("LD_PRELOAD", umock::UsbBus::preload_library(), 1);
        execv("/proc/self/exe", argv);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
