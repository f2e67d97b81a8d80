#include "usb/usb_libusb_detail.h"

namespace usb_libusb {

BulkEndpoints choose_bulk_endpoints(const libusb_interface_descriptor& ifc) {
    BulkEndpoints eps;
    for (int i = 0; i < ifc.bNumEndpoints && ifc.endpoint != nullptr; ++i) {
        const libusb_endpoint_descriptor& ep = ifc.endpoint[i];
        if ((ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK) continue;
        if ((ep.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN) {
            if (eps.in == 0) eps.in = ep.bEndpointAddress;
        } else if (eps.out == 0) {
            eps.out = ep.bEndpointAddress;
        }
    }
    return eps;
}

usb_platform_error translate_error(int libusb_error) {
    switch (libusb_error) {
        case LIBUSB_SUCCESS:
            return USB_ERR_NONE;
        case LIBUSB_ERROR_TIMEOUT:
            return USB_ERR_TIMEOUT;
        case LIBUSB_ERROR_NO_DEVICE:
            return USB_ERR_INVALID_HANDLE;
        case LIBUSB_ERROR_ACCESS:
            return USB_ERR_ACCESS_DENIED;
        case LIBUSB_ERROR_BUSY:
            return USB_ERR_BUSY;
        case LIBUSB_ERROR_NOT_FOUND:
            return USB_ERR_NOT_FOUND;
        case LIBUSB_ERROR_NO_MEM:
            return USB_ERR_NOT_ENOUGH_MEMORY;
        default:
            // IO, INVALID_PARAM, PIPE, OVERFLOW, INTERRUPTED, NOT_SUPPORTED, OTHER
            return USB_ERR_IO;
    }
}

std::string entry_name(uint8_t bus, const uint8_t* ports, int port_count, int interface_number) {
    std::string name = "usb:" + std::to_string(bus);
    for (int i = 0; i < port_count; ++i) {
        name += i == 0 ? '-' : '.';
        name += std::to_string(ports[i]);
    }
    name += ':' + std::to_string(interface_number);
    return name;
}

std::string entry_path(std::string_view name) {
    constexpr std::string_view kPrefix = "usb:";
    if (!name.starts_with(kPrefix)) return {};
    name.remove_prefix(kPrefix.size());
    const size_t colon = name.rfind(':');
    if (colon == std::string_view::npos || colon == 0) return {};
    return std::string(name.substr(0, colon));
}

namespace {

// a descriptor's two-byte fields go out low byte first
void put_le16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

}  // namespace

void device_descriptor_bytes(const libusb_device_descriptor& d, uint8_t out[18]) {
    out[0] = d.bLength;
    out[1] = d.bDescriptorType;
    put_le16(out + 2, d.bcdUSB);
    out[4] = d.bDeviceClass;
    out[5] = d.bDeviceSubClass;
    out[6] = d.bDeviceProtocol;
    out[7] = d.bMaxPacketSize0;
    put_le16(out + 8, d.idVendor);
    put_le16(out + 10, d.idProduct);
    put_le16(out + 12, d.bcdDevice);
    out[14] = d.iManufacturer;
    out[15] = d.iProduct;
    out[16] = d.iSerialNumber;
    out[17] = d.bNumConfigurations;
}

void interface_descriptor_bytes(const libusb_interface_descriptor& d, uint8_t out[9]) {
    out[0] = d.bLength;
    out[1] = d.bDescriptorType;
    out[2] = d.bInterfaceNumber;
    out[3] = d.bAlternateSetting;
    out[4] = d.bNumEndpoints;
    out[5] = d.bInterfaceClass;
    out[6] = d.bInterfaceSubClass;
    out[7] = d.bInterfaceProtocol;
    out[8] = d.iInterface;
}

bool is_bootloader_interface(const libusb_interface_descriptor& d) {
    return d.bInterfaceClass == 0xFF && d.bInterfaceSubClass == 0x42 &&
           d.bInterfaceProtocol == 0x03;
}

}  // namespace usb_libusb
