// A host without USB access: nothing is ever listed, so the installer waits for a device.
#include "usb/usb_platform.h"

namespace {

void* null_enum() {
    usb_platform_set_last_error(USB_ERR_NOT_FOUND);
    return nullptr;
}

bool null_next(void* /*enumeration*/, char* /*name*/, size_t /*size*/) {
    return false;
}

void null_close_enum(void* /*enumeration*/) {}

void* null_create(const char* /*name*/) {
    usb_platform_set_last_error(USB_ERR_NOT_FOUND);
    return nullptr;
}

void* null_pipe(void* /*ifc*/) {
    usb_platform_set_last_error(USB_ERR_INVALID_HANDLE);
    return nullptr;
}

bool null_name(void* /*ifc*/, char* /*buf*/, size_t* len) {
    *len = 0;
    return false;
}

bool null_descriptor18(void* /*ifc*/, uint8_t* /*out*/) {
    return false;
}

bool null_descriptor9(void* /*ifc*/, uint8_t* /*out*/) {
    return false;
}

bool null_serial(void* /*ifc*/, char* /*buf*/, size_t /*size*/) {
    return false;
}

bool null_read(void* /*pipe*/, void* /*buf*/, uint32_t /*len*/, uint32_t* got,
               uint32_t /*timeout_ms*/) {
    *got = 0;
    usb_platform_set_last_error(USB_ERR_INVALID_HANDLE);
    return false;
}

bool null_write(void* /*pipe*/, const void* /*buf*/, uint32_t /*len*/, uint32_t* put,
                uint32_t /*timeout_ms*/) {
    *put = 0;
    usb_platform_set_last_error(USB_ERR_INVALID_HANDLE);
    return false;
}

void null_close(void* /*handle*/) {}

const usb_platform kNullPlatform = {
    "null",      null_enum, null_next,  null_close_enum,   null_create,
    null_pipe,   null_pipe, null_name,  null_descriptor18, null_descriptor9,
    null_serial, null_read, null_write, null_close,        false,
    nullptr,  // lists nothing, so has nothing to describe
    nullptr,     nullptr,   nullptr,
};

}  // namespace

const usb_platform* usb_platform_null() {
    return &kNullPlatform;
}
