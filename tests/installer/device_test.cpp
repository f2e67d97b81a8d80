#include "installer/steps/device.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "client/action_queue.h"
#include "fake_bootloader.h"
#include "installer/steps/flash_steps.h"
#include "support/capture.h"

TEST(OpenDevice, WaitsAndSaysSoOnce) {
    fake_bootloader device;
    device.absent_for = 2;
    fake_bootloader_guard guard(device);
    usb_handle* handle = nullptr;
    auto start = std::chrono::steady_clock::now();
    captured c = capture_output([&] { handle = open_device(guard.device); });
    auto waited = std::chrono::steady_clock::now() - start;
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(guard.device.handle, handle);
    EXPECT_EQ(c.err, "< waiting for device >\n");
    EXPECT_EQ(c.out, "");
    EXPECT_EQ(device.enumerations(), 3);
    EXPECT_EQ(device.opens(), 1);
    // one second between attempts
    EXPECT_GE(waited, std::chrono::milliseconds(1900));
}

TEST(OpenDevice, OpenHandleIsReusedAndCloseForgetsIt) {
    fake_bootloader device;
    fake_bootloader_guard guard(device);
    usb_handle* first = nullptr;
    captured c = capture_output([&] {
        first = open_device(guard.device);
        EXPECT_EQ(open_device(guard.device), first);
    });
    EXPECT_EQ(c.err, "");
    EXPECT_EQ(device.enumerations(), 1);

    EXPECT_EQ(close_device(guard.device), 0);
    EXPECT_EQ(guard.device.handle, nullptr);
    EXPECT_EQ(device.closes(), 1);
    // nothing open: nothing to close
    EXPECT_EQ(close_device(guard.device), 0);
    EXPECT_EQ(device.closes(), 1);

    // a new search, a new interface
    ASSERT_NE(open_device(guard.device), nullptr);
    EXPECT_EQ(device.enumerations(), 2);
    EXPECT_EQ(device.opens(), 2);
}

TEST(OpenDevice, HandleClosedByTheTransportIsForgotten) {
    fake_bootloader device;
    fake_bootloader_guard guard(device);
    const char image[] = "0123456789";

    // a 2-byte status packet leaves the link in an unknown state: the transport closes it
    device.answer = [](const std::string& command) {
        return command == "flash:xzmbr" ? std::string("OK") : std::string("OKAY");
    };
    captured c =
        capture_output([&] { EXPECT_NE(flash_buffer(guard.device, image, 10, "xzmbr"), 0); });
    EXPECT_EQ(c.err, "FAILED (status malformed (2 bytes))\n");
    EXPECT_EQ(guard.device.handle, nullptr);
    EXPECT_EQ(device.closes(), 1);
    EXPECT_EQ(device.open_interfaces(), 0);

    // not closed a second time
    EXPECT_EQ(close_device(guard.device), 0);
    EXPECT_EQ(device.closes(), 1);

    // the next exchange finds the device afresh, without a waiting line since it is there
    device.answer = nullptr;
    c = capture_output([&] { EXPECT_EQ(flash_buffer(guard.device, image, 10, "xzmbr"), 0); });
    EXPECT_EQ(c.err, "");
    EXPECT_EQ(device.enumerations(), 2);
    EXPECT_EQ(device.opens(), 2);
    EXPECT_NE(guard.device.handle, nullptr);
    EXPECT_EQ(device.flashed["xzmbr"], std::string(image, 10));
}

TEST(OpenDevice, RefusalKeepsTheHandle) {
    fake_bootloader device;
    fake_bootloader_guard guard(device);
    usb_handle* handle = open_device(guard.device);
    device.answer = [](const std::string&) { return std::string("FAILno"); };
    captured c =
        capture_output([&] { EXPECT_EQ(do_check_buf(guard.device, "xzprod", "1", 0, 1), -1); });
    EXPECT_EQ(c.err, "FAILED (remote: no)\n");
    EXPECT_EQ(guard.device.handle, handle);
    EXPECT_EQ(device.closes(), 0);
    EXPECT_EQ(device.enumerations(), 1);
}

// Across the storage-variant switch, on a backend that cannot tell where a device hangs, the run's
// device is the one with the serial number it had (a switch that did not take) or one of the
// variant asked for; another bootloader listed before it is left alone.
TEST(OpenDevice, AcrossTheVariantSwitchWithoutAPlaceTheSerialNumberDecides) {
    static constexpr std::string_view k32gb[] = {"13G"};
    for (const char* back_as : {"13G0001", "067A0001"}) {
        SCOPED_TRACE(back_as);
        fake_bootloader device;
        fake_bootloader_guard guard(device);
        fake::state().interfaces[0].serial = "067A0001";
        follow_first_device(guard.device, true);
        ASSERT_NE(open_device(guard.device), nullptr);
        EXPECT_EQ(close_device(guard.device), 0);

        device_serial_may_change(guard.device, k32gb);
        fake::Interface other = fake::state().interfaces[0];
        other.name = "fake1";
        other.serial = "OTHER0001";
        fake::Interface back = fake::state().interfaces[0];
        back.serial = back_as;
        fake::state().interfaces = {other, back};
        captured c = capture_output([&] { EXPECT_NE(open_device(guard.device), nullptr); });
        EXPECT_STREQ(guard.device.accepted.serial_number, back_as);
        EXPECT_NE(c.err.find("another device OTHER0001 "), std::string::npos) << c.err;
    }
}
