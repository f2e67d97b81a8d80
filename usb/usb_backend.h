// What the backends behind the platform table share: an enumeration that is a list of names
// taken at once, and the handles of an open interface and of its two pipes, which share the
// interface so that the order in which they are released does not matter. What an interface
// holds beyond its name and descriptors, and how bytes move, stays in each backend.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "usb/usb_platform.h"

namespace usb_backend {

// Leaves `code` as the platform last error and gives false.
bool fail_with(usb_platform_error code);

// An enumeration of the given interface names, in this order (close_enumeration releases it).
void* make_enumeration(std::vector<std::string> names);
// The platform's next_interface: a name that does not fit `size` is skipped, since it could not
// be opened again.
bool next_name(void* enumeration, char* name, size_t size);
void close_enumeration(void* enumeration);

enum class Kind { Interface, ReadPipe, WritePipe };

// What every backend knows of an interface it has opened; a backend derives its own from it.
struct OpenInterface {
    std::string name;
    uint8_t device_descriptor[18] = {};
    uint8_t interface_descriptor[9] = {};

    OpenInterface() = default;
    OpenInterface(const OpenInterface&) = delete;
    OpenInterface& operator=(const OpenInterface&) = delete;
    virtual ~OpenInterface() = default;

    // Whether the interface has an endpoint for a pipe of this kind (ReadPipe or WritePipe): a
    // backend whose interfaces may lack one says which.
    virtual bool has_pipe(Kind /*kind*/) const { return true; }
};

// The handle the transport holds for an interface just opened.
void* interface_handle(std::shared_ptr<OpenInterface> ifc);
// A pipe of the interface behind an interface handle; null and USB_ERR_INVALID_HANDLE without
// one, null and USB_ERR_NOT_FOUND when the interface has no endpoint for it.
void* pipe_handle(void* ifc_handle, Kind kind);
// The interface behind any handle; null for null.
OpenInterface* interface_of(void* handle);
// The interface behind a pipe of the given direction; null for anything else.
OpenInterface* pipe_interface(void* handle, Kind kind);

// A backend's own interface behind a handle it made.
template <class T>
T* backend_interface(void* handle) {
    return static_cast<T*>(interface_of(handle));
}
template <class T>
T* backend_pipe(void* handle, Kind kind) {
    return static_cast<T*>(pipe_interface(handle, kind));
}

// A read of up to `len` bytes answered by the packet at the front of `packets`, which it takes;
// one longer than the read is an I/O error (USB_ERR_IO). `packets` must not be empty.
bool read_queued(std::deque<std::string>& packets, void* buf, uint32_t len, uint32_t* got);

// A bootloader interface the host lists but this backend cannot open for want of a driver,
// noted for usb_last_seen() of the search under way.
void note_no_driver(std::string what);

// Platform operations that every backend answers from OpenInterface alone.
bool interface_name(void* ifc, char* buf, size_t* len);
bool device_descriptor(void* ifc, uint8_t out[18]);
bool interface_descriptor(void* ifc, uint8_t out[9]);
void* open_read_pipe(void* ifc);
void* open_write_pipe(void* ifc);
void close_handle(void* handle);

}  // namespace usb_backend
