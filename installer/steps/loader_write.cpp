// The one write of a loader image: refused for a real device when the build carries stand-ins.
#include "installer/steps/loader_write.h"

#include "console/console.h"
#include "installer/steps/device.h"
#include "installer/steps/flash_steps.h"
#include "payload/payload.h"
#include "usb/usb.h"

namespace {
unsigned g_refusals = 0;
}  // namespace

unsigned loader_refusals() {
    return g_refusals;
}

bool loaders_allowed(RunDevice& device) {
    // a stand-in only looks like a loader: on a real device it would leave the device unbootable
    if (payload_loader_firmware || usb_is_simulated(open_device(device)) != 0) return true;
    ++g_refusals;
    con_err(
        "\nerror: this build carries no loader firmware for this device, only stand-ins for "
        "simulated devices; to install loaders on real devices, build the installer with "
        "-DTESSARO_LOADER_DIR=DIR, where DIR holds the device maker's loader images\n");
    return false;
}

loader_write flash_loader(RunDevice& device, const void* image, uint32_t size,
                          const char* partition) {
    if (!loaders_allowed(device)) return loader_write::refused;
    return flash_buffer(device, image, size, partition) == 0 ? loader_write::written
                                                             : loader_write::failed;
}
