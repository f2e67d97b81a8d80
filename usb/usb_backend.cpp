#include "usb/usb_backend.h"

#include <cstring>
#include <utility>

namespace usb_backend {

namespace {

struct Enumeration {
    std::vector<std::string> names;
    size_t next = 0;
};

struct Handle {
    Kind kind;
    std::shared_ptr<OpenInterface> ifc;
};

}  // namespace

bool fail_with(usb_platform_error code) {
    usb_platform_set_last_error(code);
    return false;
}

void* make_enumeration(std::vector<std::string> names) {
    return std::make_unique<Enumeration>(Enumeration{std::move(names)}).release();
}

bool next_name(void* enumeration, char* name, size_t size) {
    auto* en = static_cast<Enumeration*>(enumeration);
    while (en->next < en->names.size()) {
        const std::string& n = en->names[en->next++];
        if (n.size() + 1 > size) continue;
        std::memcpy(name, n.c_str(), n.size() + 1);
        return true;
    }
    return false;
}

void close_enumeration(void* enumeration) {
    std::unique_ptr<Enumeration> owned(static_cast<Enumeration*>(enumeration));
}

void* interface_handle(std::shared_ptr<OpenInterface> ifc) {
    return std::make_unique<Handle>(Handle{Kind::Interface, std::move(ifc)}).release();
}

void* pipe_handle(void* ifc_handle, Kind kind) {
    const OpenInterface* ifc = interface_of(ifc_handle);
    if (ifc == nullptr) {
        usb_platform_set_last_error(USB_ERR_INVALID_HANDLE);
        return nullptr;
    }
    if (!ifc->has_pipe(kind)) {
        usb_platform_set_last_error(USB_ERR_NOT_FOUND);
        return nullptr;
    }
    return std::make_unique<Handle>(Handle{kind, static_cast<Handle*>(ifc_handle)->ifc}).release();
}

OpenInterface* interface_of(void* handle) {
    if (handle == nullptr) return nullptr;
    return static_cast<Handle*>(handle)->ifc.get();
}

OpenInterface* pipe_interface(void* handle, Kind kind) {
    if (handle == nullptr || static_cast<Handle*>(handle)->kind != kind) return nullptr;
    return interface_of(handle);
}

bool read_queued(std::deque<std::string>& packets, void* buf, uint32_t len, uint32_t* got) {
    const std::string packet = std::move(packets.front());
    packets.pop_front();
    if (packet.size() > len) return fail_with(USB_ERR_IO);
    std::memcpy(buf, packet.data(), packet.size());
    *got = static_cast<uint32_t>(packet.size());
    usb_platform_set_last_error(USB_ERR_NONE);
    return true;
}

bool interface_name(void* ifc, char* buf, size_t* len) {
    OpenInterface* i = interface_of(ifc);
    if (i == nullptr) {
        *len = 0;
        return fail_with(USB_ERR_INVALID_HANDLE);
    }
    size_t needed = i->name.size() + 1;
    if (buf == nullptr) {
        *len = needed;
        return true;
    }
    if (*len < needed) return fail_with(USB_ERR_NOT_ENOUGH_MEMORY);
    std::memcpy(buf, i->name.c_str(), needed);
    return true;
}

bool device_descriptor(void* ifc, uint8_t out[18]) {
    OpenInterface* i = interface_of(ifc);
    if (i == nullptr) return fail_with(USB_ERR_INVALID_HANDLE);
    std::memcpy(out, i->device_descriptor, sizeof i->device_descriptor);
    return true;
}

bool interface_descriptor(void* ifc, uint8_t out[9]) {
    OpenInterface* i = interface_of(ifc);
    if (i == nullptr) return fail_with(USB_ERR_INVALID_HANDLE);
    std::memcpy(out, i->interface_descriptor, sizeof i->interface_descriptor);
    return true;
}

void* open_read_pipe(void* ifc) {
    return pipe_handle(ifc, Kind::ReadPipe);
}

void* open_write_pipe(void* ifc) {
    return pipe_handle(ifc, Kind::WritePipe);
}

void close_handle(void* handle) {
    std::unique_ptr<Handle> owned(static_cast<Handle*>(handle));
}

}  // namespace usb_backend
