// Which backend the transport runs over, and the platform last-error code it reads after every
// platform call.
#include "usb/usb_platform.h"

#include <cstdlib>

namespace {

int g_last_error = USB_ERR_NONE;
const usb_platform* g_platform = nullptr;

bool set(const char* variable) {
    const char* value = std::getenv(variable);
    return value != nullptr && *value != '\0';
}

// The simulated device is reached whenever TESSARO_DEVSIM_DIR or TESSARO_DEVSIM_ADDR is set, even
// to a directory that does not exist yet (the simulator makes it when it starts): a user who meant
// to try a package on a simulated device must never have it written to a real one because of a
// typo or a late start. Only a host without either variable talks to real USB.
const usb_platform* choose_platform() {
    if (set("TESSARO_DEVSIM_DIR") || set("TESSARO_DEVSIM_ADDR")) return usb_platform_devsim();
#ifdef _WIN32
    return usb_platform_winusb();
#else
    return usb_platform_libusb();
#endif
}

}  // namespace

int usb_platform_last_error() {
    return g_last_error;
}

void usb_platform_set_last_error(int code) {
    g_last_error = code;
}

const usb_platform* usb_platform_current() {
    if (g_platform == nullptr) g_platform = choose_platform();
    return g_platform;
}

void usb_platform_install(const usb_platform* platform) {
    g_platform = platform;
}
