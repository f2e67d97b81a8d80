// The platform interface under the USB transport: the operations a host's USB API must offer.
// One backend per platform (libusb, the simulated device, a null backend); the transport core
// in usb_transport.cpp is the only caller.
//
// Errors: every backend translates its own failures, at its edge, into the closed set of
// usb_platform_error codes and leaves the code with usb_platform_set_last_error(). Nothing
// above the backend sees a backend's own error values.
#pragma once

#include <cstddef>
#include <cstdint>

// The platform last-error codes the transport gives meaning to, the few others a backend may
// report, and two the transport sets itself. The values are the host's own error numbers; their
// words come from usb_error_text (usb/usb_error.h), never from strerror.
enum usb_platform_error : int {
    USB_ERR_NONE = 0,
    USB_ERR_NOT_FOUND = 2,       // no such interface (gone between listing and opening)
    USB_ERR_ACCESS_DENIED = 5,   // the host refused access
    USB_ERR_INVALID_HANDLE = 6,  // the device went away; the handle is dead
    USB_ERR_BAD_COUNT = 13,      // the platform reported more bytes than the transfer asked for
    USB_ERR_NOT_ENOUGH_MEMORY = 14,
    USB_ERR_INVALID_LENGTH = 87,  // a transfer of no bytes or a negative count was asked for
    USB_ERR_BUSY = 170,           // the interface is claimed by another program
    USB_ERR_IO = 31,              // any other transfer failure
    USB_ERR_TIMEOUT = 121,        // the transfer's timeout expired
};

int usb_platform_last_error();
void usb_platform_set_last_error(int code);

struct usb_platform {
    const char* name;

    // Starts listing the host's interfaces. Null when nothing can be listed.
    void* (*enum_interfaces)();
    // Writes the next interface's name (NUL-terminated, at most `size` bytes with the NUL) and
    // returns true; false when no entry is left.
    bool (*next_interface)(void* enumeration, char* name, size_t size);
    void (*close_enum)(void* enumeration);

    // Opens the named interface and claims it where the host has such a notion; nothing is
    // reset or sent to the device. Called only for the interface a search has accepted. Null and
    // a last error when it cannot be opened, is busy, or has gone.
    void* (*create_interface)(const char* name);
    // The interface's default bulk IN / OUT pipe. Null when it has none.
    void* (*open_read_pipe)(void* ifc);
    void* (*open_write_pipe)(void* ifc);
    // The interface's name in 8-bit characters. With a null buffer, stores the length needed
    // (with the NUL) in *len; 0 there means failure. With a buffer of that length, fills it.
    bool (*interface_name)(void* ifc, char* buf, size_t* len);
    // The standard 18-byte USB device descriptor and 9-byte interface descriptor.
    bool (*device_descriptor)(void* ifc, uint8_t out[18]);
    bool (*interface_descriptor)(void* ifc, uint8_t out[9]);
    // The device's serial number as a NUL-terminated text; false when it cannot be read.
    bool (*serial_number)(void* ifc, char* buf, size_t size);
    // Synchronous bulk transfers with a timeout in milliseconds. True and the count moved (the
    // last error then USB_ERR_NONE), or false with the last error set (USB_ERR_TIMEOUT,
    // USB_ERR_INVALID_HANDLE, USB_ERR_IO). A read may bring fewer bytes than asked, never more;
    // a write may take fewer than offered. A timeout that moved bytes is a success with that
    // count. The pipe is never null: the transport does not call these on a kicked handle.
    bool (*read_sync)(void* pipe, void* buf, uint32_t len, uint32_t* got, uint32_t timeout_ms);
    bool (*write_sync)(void* pipe, const void* buf, uint32_t len, uint32_t* put,
                       uint32_t timeout_ms);
    // Releases a pipe or an interface handle returned above (pipes before their interface).
    void (*close_handle)(void* handle);

    // True when the interfaces are simulated devices, with no hardware behind them.
    bool simulated;

    // The 18-byte device and 9-byte interface descriptors of a listed interface, read WITHOUT
    // opening it, where the host keeps them apart from the device (so that an interface which
    // cannot be opened can still be told apart: a bootloader refused to this user, or held by
    // another program, from anything else). Touches nothing of the device, claims nothing and
    // leaves the last error as it was. False when the descriptors come only with an open
    // interface; the transport then takes such an interface for the bootloader it is listed
    // as. May be null, which counts as false.
    bool (*peek_descriptors)(const char* name, uint8_t device[18], uint8_t ifc[9]);

    // Where a listed interface's device hangs on the host, the same across the device's reboots
    // as long as it stays plugged in where it is: libusb's bus and port chain ("1-2.3"),
    // SetupAPI's location path on Windows, the socket's path (or TCP address) on the simulated
    // link. Read without opening anything. False where the host cannot tell. May be null.
    bool (*device_path)(const char* name, char* buf, size_t size);
    // A listed interface's descriptors and serial number (empty when it has none or it cannot
    // be read), read while leaving the device alone: the device may be opened, but nothing is
    // claimed, reset or sent to it beyond the standard requests for its descriptors. What every
    // search decides on, for every listed interface, before it takes one. False, with the last
    // error saying why (USB_ERR_ACCESS_DENIED, USB_ERR_BUSY, USB_ERR_NOT_FOUND), when the device
    // cannot be looked at. May be null: the search then opens (claims) each interface to read
    // them, and still resets none but the one it takes.
    bool (*peek_device)(const char* name, uint8_t device[18], uint8_t ifc[9], char* serial,
                        size_t serial_size);
    // Puts the device of an open interface back to waiting for a command (a port reset), for a
    // run that takes it: a run killed in the middle of a transfer leaves a download still
    // expecting its data, a halted pipe, data toggles out of step. Called on the accepted,
    // claimed interface only, and never by a search that only queries (the listing). False and
    // a last error when the device did not come back as itself. May be null: nothing to reset.
    bool (*reset_interface)(void* ifc);
};

// The backend in use: chosen on first use (the simulated device whenever TESSARO_DEVSIM_DIR or
// TESSARO_DEVSIM_ADDR is set and not empty, the host's USB otherwise) unless a test has installed
// one. Installing null makes the next use choose again.
const usb_platform* usb_platform_current();
void usb_platform_install(const usb_platform* platform);

// Backends.
const usb_platform* usb_platform_libusb();  // not on Windows
const usb_platform* usb_platform_winusb();  // Windows only
const usb_platform* usb_platform_devsim();  // reads TESSARO_DEVSIM_DIR and _ADDR on enumeration
const usb_platform* usb_platform_null();    // lists nothing
