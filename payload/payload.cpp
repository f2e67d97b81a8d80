#include "payload/payload.h"

const payload_image* payload_find(std::string_view name) {
    for (const payload_image& img : payload_catalog()) {
        if (name == img.name) return &img;
    }
    return nullptr;
}

const payload_image* payload_of(const void* bytes) {
    for (const payload_image& img : payload_catalog()) {
        if (bytes == img.bytes) return &img;
    }
    return nullptr;
}

const char* payload_loader_kind() {
    return payload_loader_firmware ? "device firmware" : "stand-in";
}
