// The libusb backend's device-free parts: error translation, choice of the bulk pipes, entry
// names and the descriptors' byte form.
#include <gtest/gtest.h>

#include <vector>

#include "support/class_triples.h"
#include "usb/usb_libusb_detail.h"

namespace {

using namespace usb_libusb;

TEST(LibusbErrors, TranslateIntoTheClosedSet) {
    struct Case {
        int libusb;
        usb_platform_error expected;
    };
    const Case cases[] = {
        {LIBUSB_SUCCESS, USB_ERR_NONE},
        {LIBUSB_ERROR_TIMEOUT, USB_ERR_TIMEOUT},
        {LIBUSB_ERROR_NO_DEVICE, USB_ERR_INVALID_HANDLE},
        {LIBUSB_ERROR_ACCESS, USB_ERR_ACCESS_DENIED},
        {LIBUSB_ERROR_BUSY, USB_ERR_BUSY},
        {LIBUSB_ERROR_NOT_FOUND, USB_ERR_NOT_FOUND},
        {LIBUSB_ERROR_NO_MEM, USB_ERR_NOT_ENOUGH_MEMORY},
        {LIBUSB_ERROR_IO, USB_ERR_IO},
        {LIBUSB_ERROR_INVALID_PARAM, USB_ERR_IO},
        {LIBUSB_ERROR_PIPE, USB_ERR_IO},
        {LIBUSB_ERROR_OVERFLOW, USB_ERR_IO},
        {LIBUSB_ERROR_INTERRUPTED, USB_ERR_IO},
        {LIBUSB_ERROR_NOT_SUPPORTED, USB_ERR_IO},
        {LIBUSB_ERROR_OTHER, USB_ERR_IO},
        {-12345, USB_ERR_IO},
    };
    for (const Case& c : cases) EXPECT_EQ(translate_error(c.libusb), c.expected) << c.libusb;
}

libusb_endpoint_descriptor endpoint(uint8_t address, uint8_t type) {
    libusb_endpoint_descriptor ep{};
    ep.bLength = LIBUSB_DT_ENDPOINT_SIZE;
    ep.bDescriptorType = LIBUSB_DT_ENDPOINT;
    ep.bEndpointAddress = address;
    ep.bmAttributes = type;
    ep.wMaxPacketSize = 512;
    return ep;
}

TEST(LibusbEndpoints, TheFirstBulkInAndTheFirstBulkOutAreThePipes) {
    const uint8_t bulk = LIBUSB_TRANSFER_TYPE_BULK;
    const uint8_t interrupt = LIBUSB_TRANSFER_TYPE_INTERRUPT;
    const uint8_t iso = LIBUSB_TRANSFER_TYPE_ISOCHRONOUS;
    struct Case {
        std::vector<libusb_endpoint_descriptor> eps;
        uint8_t in, out;
    };
    const Case cases[] = {
        {{endpoint(0x81, bulk), endpoint(0x01, bulk)}, 0x81, 0x01},
        {{endpoint(0x02, bulk), endpoint(0x83, bulk)}, 0x83, 0x02},
        // interrupt and isochronous endpoints are not pipes for this transport
        {{endpoint(0x81, interrupt), endpoint(0x82, bulk), endpoint(0x03, iso),
          endpoint(0x04, bulk)},
         0x82,
         0x04},
        {{endpoint(0x81, bulk), endpoint(0x85, bulk), endpoint(0x02, bulk), endpoint(0x06, bulk)},
         0x81,
         0x02},
        // the attribute's upper bits (usage, synchronisation) do not hide a bulk endpoint
        {{endpoint(0x81, bulk | 0x0C), endpoint(0x01, bulk | 0x30)}, 0x81, 0x01},
        {{endpoint(0x81, bulk)}, 0x81, 0},
        {{endpoint(0x01, bulk)}, 0, 0x01},
        {{}, 0, 0},
    };
    for (const Case& c : cases) {
        libusb_interface_descriptor ifc{};
        ifc.bNumEndpoints = static_cast<uint8_t>(c.eps.size());
        ifc.endpoint = c.eps.empty() ? nullptr : c.eps.data();
        BulkEndpoints got = choose_bulk_endpoints(ifc);
        EXPECT_EQ(got.in, c.in) << c.eps.size();
        EXPECT_EQ(got.out, c.out) << c.eps.size();
    }
}

TEST(LibusbNames, NameTheBusThePortPathAndTheInterface) {
    const uint8_t deep[] = {2, 4, 1};
    const uint8_t shallow[] = {7};
    EXPECT_EQ(entry_name(1, deep, 3, 0), "usb:1-2.4.1:0");
    EXPECT_EQ(entry_name(3, shallow, 1, 2), "usb:3-7:2");
    EXPECT_EQ(entry_name(255, shallow, 1, 255), "usb:255-7:255");
    EXPECT_EQ(entry_name(2, nullptr, 0, 0), "usb:2:0");  // a root hub has no port path
}

// where the device hangs: its name without the interface, the same for each of its interfaces
TEST(LibusbNames, PathIsTheBusAndPortsOfTheName) {
    const std::pair<const char*, const char*> cases[] = {
        {"usb:1-2.4.1:0", "1-2.4.1"},
        {"usb:3-7:12", "3-7"},
        {"usb:2:0", "2"},
        {"1-2:0", ""},
        {"usb:1-2", ""},
        {"usb::0", ""},
    };
    for (const auto& [name, path] : cases) EXPECT_EQ(entry_path(name), path) << name;
}

TEST(LibusbDescriptors, AreTheBytesTheDeviceSent) {
    libusb_device_descriptor d{};
    d.bLength = 18;
    d.bDescriptorType = LIBUSB_DT_DEVICE;
    d.bcdUSB = 0x0210;
    d.bDeviceClass = 0xEF;
    d.bDeviceSubClass = 0x02;
    d.bDeviceProtocol = 0x01;
    d.bMaxPacketSize0 = 64;
    d.idVendor = 0x18D1;
    d.idProduct = 0x4EE0;
    d.bcdDevice = 0x0102;
    d.iManufacturer = 1;
    d.iProduct = 2;
    d.iSerialNumber = 3;
    d.bNumConfigurations = 1;
    uint8_t out[18];
    device_descriptor_bytes(d, out);
    const uint8_t expected[18] = {18,   1,    0x10, 0x02, 0xEF, 0x02, 0x01, 64, 0xD1,
                                  0x18, 0xE0, 0x4E, 0x02, 0x01, 1,    2,    3,  1};
    EXPECT_EQ(std::vector<uint8_t>(out, out + 18), std::vector<uint8_t>(expected, expected + 18));

    libusb_interface_descriptor i{};
    i.bLength = 9;
    i.bDescriptorType = LIBUSB_DT_INTERFACE;
    i.bInterfaceNumber = 1;
    i.bAlternateSetting = 0;
    i.bNumEndpoints = 2;
    i.bInterfaceClass = 0xFF;
    i.bInterfaceSubClass = 0x42;
    i.bInterfaceProtocol = 0x03;
    i.iInterface = 4;
    uint8_t ifc[9];
    interface_descriptor_bytes(i, ifc);
    const uint8_t expected_ifc[9] = {9, 4, 1, 0, 2, 0xFF, 0x42, 0x03, 4};
    EXPECT_EQ(std::vector<uint8_t>(ifc, ifc + 9),
              std::vector<uint8_t>(expected_ifc, expected_ifc + 9));
}

TEST(LibusbKernelDriver, OnlyTheBootloaderInterfaceMayBeTakenFromItsDriver) {
    for (const support::ClassTriple& c : support::kClassTriples) {
        libusb_interface_descriptor i{};
        i.bInterfaceClass = c.cls;
        i.bInterfaceSubClass = c.subclass;
        i.bInterfaceProtocol = c.protocol;
        EXPECT_EQ(is_bootloader_interface(i), c.bootloader)
            << int(c.cls) << "/" << int(c.subclass) << "/" << int(c.protocol);
    }
}

}  // namespace
