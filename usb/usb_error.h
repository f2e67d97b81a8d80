// The words for the codes the USB layer leaves in errno. They are the layer's own codes (the
// platform last-error values of usb_platform.h), not the C library's, so strerror must never be
// asked about them: 31 would read "Too many links".
#pragma once

#include "usb/usb_platform.h"

inline const char* usb_error_text(int code) {
    switch (code) {
        case USB_ERR_NONE:
            return "no error reported";
        case USB_ERR_NOT_FOUND:
            return "device not found";
        case USB_ERR_ACCESS_DENIED:
            return "access denied";
        case USB_ERR_INVALID_HANDLE:
            return "device gone";
        case USB_ERR_BAD_COUNT:
            return "more bytes reported than asked for";
        case USB_ERR_NOT_ENOUGH_MEMORY:
            return "not enough memory";
        case USB_ERR_IO:
            return "USB transfer error";
        case USB_ERR_INVALID_LENGTH:
            return "invalid transfer length";
        case USB_ERR_TIMEOUT:
            return "timed out";
        case USB_ERR_BUSY:
            return "device in use by another program";
        default:
            return "unknown USB error";
    }
}
