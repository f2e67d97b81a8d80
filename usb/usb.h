// The USB transport: finds the bootloader's interface and moves bytes over its two bulk pipes.
// Written once over the platform interface of usb_platform.h; the backend is chosen at run
// time (the simulated device when TESSARO_DEVSIM_DIR names a directory, libusb otherwise).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct usb_ifc_info {
    uint16_t dev_vendor;
    uint16_t dev_product;
    uint8_t dev_class;
    uint8_t dev_subclass;
    uint8_t dev_protocol;
    uint8_t ifc_class;
    uint8_t ifc_subclass;
    uint8_t ifc_protocol;
    uint8_t has_bulk_in;   // not set by this transport
    uint8_t has_bulk_out;  // not set by this transport
    uint8_t writable;      // always 1
    char serial_number[256];
    // where the device hangs on the host, the same across its reboots (see usb_platform's
    // device_path); empty where the backend cannot tell
    char device_path[256];
};

// 0 accepts the interface as the device, anything else rejects it.
using ifc_match_func = int (*)(usb_ifc_info* info);

struct usb_platform;

// One open device interface. Platform handles are opaque; null means not open.
struct usb_handle {
    void* qrb_interface;
    void* qrb_read_pipe;
    void* qrb_write_pipe;
    char* interface_name;
    // the backend that opened it, which alone can use and release its handles (another may be
    // installed while it is open)
    const usb_platform* platform;
};

// Serial number (or device path) the device must have; null or empty accepts any device.
extern const char* serial;

// The first interface the match function accepts, opened and reset for a run; null when there
// is none. The match decides on what each listed interface's device shows while left alone (its
// descriptors and serial number): only the accepted interface is claimed, and only it is reset.
usb_handle* usb_open(ifc_match_func callback);
// usb_open for a few queries (the listing): the accepted interface is claimed, and no device is
// ever reset.
usb_handle* usb_open_to_query(ifc_match_func callback);
// usb_open limited to the device that hangs at `path` (a device_path the match function was
// shown): an interface the backend places elsewhere is never opened; a bootloader among them
// has its descriptors read, and nothing more, to be listed in usb_last_seen().elsewhere. An
// empty path, or an interface whose place the backend cannot tell, is left to the match
// function alone.
usb_handle* usb_open_at(const char* path, ifc_match_func callback);
// Bytes received (0 up to len), or -1. Timeouts are retried without limit, or until the
// patience below has passed since the read began.
int usb_read(usb_handle* h, void* data, int len);
// How long one usb_read waits for an answer at most, in milliseconds; 0, the default, waits as
// long as the device takes (an install: a device that is slow to answer is never given up).
// The read that runs out fails with USB_ERR_TIMEOUT.
void usb_set_read_patience(uint32_t ms);
// len when every byte was written, -1 on failure. A chunk that takes no bytes at all ends the
// write with the count written so far, so a stalled link is reported instead of spinning.
int usb_write(usb_handle* h, const void* data, int len);
// Releases the handle and frees its record. Always 0.
int usb_close(usb_handle* h);
// Releases pipes and interface but keeps the record; later transfers on it fail.
void usb_kick(usb_handle* h);
// 1 when the handle reaches a simulated device (the backend of TESSARO_DEVSIM_DIR), 0 for a
// device on the host's USB or no handle.
int usb_is_simulated(const usb_handle* h);
void usb_cleanup_handle(usb_handle* h);

// What the last usb_open saw besides the device it looked for: what a person waiting for a
// device needs to know to get it found.
struct usb_seen {
    // bootloader interfaces of listed vendors that the match function passed by (with the
    // standard matcher: another serial number); their serial numbers, empty when unreadable
    std::vector<std::string> other_serials;
    // interfaces the host refused to open for this user, and interfaces held by another program
    // ("VVVV:PPPP at NAME" where the host describes them without opening, else their names)
    std::vector<std::string> refused;
    std::vector<std::string> busy;
    // bootloader interfaces the host lists with no driver this program can open them through
    // (Windows: no WinUSB bound), by their hardware ids
    std::vector<std::string> no_driver;
    // bootloader devices that usb_open_at left alone for hanging elsewhere: "SERIAL at PATH"
    // ("(no serial number) at PATH" when it has none)
    std::vector<std::string> elsewhere;
    bool simulated = false;  // seen on the simulated link

    bool operator==(const usb_seen&) const = default;
};
const usb_seen& usb_last_seen();

int match_trevan(usb_ifc_info* info);
int match_trevan_with_serial(usb_ifc_info* info, const char* serial);

// Internal, exposed for tests.
usb_handle* do_usb_open(const char* interface_name);
int recognized_device(usb_handle* handle, ifc_match_func callback);
usb_handle* find_usb_device(ifc_match_func callback);
// 1 when the vendor id is one of the bootloader vendors.
int usb_vendor_listed(uint16_t vendor);
