#include "usb_devsim.h"

#include <cstdio>
#include <cstdlib>

#include "check/crc32.h"
#include "installer/steps/device.h"
#include "usb/usb_platform.h"

namespace {

std::vector<std::string> with_storage(const support::TempDir& storage,
                                      std::vector<std::string> args) {
    args.insert(args.begin(), {"--storage", storage.path().string()});
    return args;
}

}  // namespace

usb_devsim::usb_devsim(std::vector<std::string> args)
    : sim_(with_storage(storage_, std::move(args))) {
    ::setenv("TESSARO_DEVSIM_DIR", sim_.socket_dir().c_str(), 1);
    usb_platform_install(usb_platform_devsim());
}

usb_devsim::~usb_devsim() {
    (void)close_device(device);
    usb_platform_install(usb_platform_null());
    ::unsetenv("TESSARO_DEVSIM_DIR");
}

std::string usb_devsim::partition(const std::string& device, const std::string& name) const {
    return support::read_file(storage_ / device / name);
}

std::string crc_text(const std::string& bytes) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x",
                  GetBufferCRC(bytes.data(), static_cast<uint32_t>(bytes.size())));
    return text;
}
