// Real USB through libusb-1.0 (Linux and macOS). Every bootloader interface (ff/42/03 on a
// device of a listed vendor) is one entry, chosen from the descriptors libusb has without
// opening anything: no other device is ever opened, claimed or reset. A bootloader is opened to
// read its serial number; only the one a search takes is claimed, and only a run's is reset. An
// entry's default pipes are its first bulk IN and first bulk OUT endpoints. libusb's error values
// never leave this file: they become usb_platform_error codes here.
#include "usb/usb.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "usb/usb_backend.h"
#include "usb/usb_libusb_detail.h"
#include "usb/usb_platform.h"

namespace {

using namespace usb_backend;
using namespace usb_libusb;

constexpr int kMaxPorts = 8;

// libusb keeps its list of devices current only through the hotplug events of the host's device
// manager; a host without one (a minimal system, a container, an initramfs) never tells it of a
// device that arrived later, and a device that rebooted would never be found again. So each
// enumeration scans the bus anew in a context of its own, and whatever was opened keeps the
// context it was opened in alive until it is closed.
using Context = std::shared_ptr<libusb_context>;

Context fresh_context() {
    libusb_context* c = nullptr;
    if (libusb_init(&c) != 0) return nullptr;
    return {c, libusb_exit};
}

// The context of the last enumeration, which create and peek look up its names in.
Context& current_context() {
    static Context ctx;
    return ctx;
}

Context context() {
    Context& ctx = current_context();
    if (!ctx) ctx = fresh_context();
    return ctx;
}

struct DeviceListDeleter {
    void operator()(libusb_device** list) const { libusb_free_device_list(list, 1); }
};
using DeviceList = std::unique_ptr<libusb_device*[], DeviceListDeleter>;

struct ConfigDeleter {
    void operator()(libusb_config_descriptor* c) const { libusb_free_config_descriptor(c); }
};
using Config = std::unique_ptr<libusb_config_descriptor, ConfigDeleter>;

// Lists the host's devices in the context given; empty when libusb cannot.
DeviceList list_devices(const Context& ctx, ssize_t* count) {
    *count = 0;
    if (!ctx) return nullptr;
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(ctx.get(), &list);
    if (n < 0) return nullptr;
    *count = n;
    return DeviceList(list);
}

Config active_config(libusb_device* dev) {
    libusb_config_descriptor* cfg = nullptr;
    if (libusb_get_active_config_descriptor(dev, &cfg) != 0) return nullptr;
    return Config(cfg);
}

std::string device_entry_name(libusb_device* dev, int interface_number) {
    uint8_t ports[kMaxPorts];
    int n = libusb_get_port_numbers(dev, ports, kMaxPorts);
    return entry_name(libusb_get_bus_number(dev), ports, n < 0 ? 0 : n, interface_number);
}

// Calls visit(device, the first alternate setting of one of its interfaces) for each
// bootloader interface of each device of a listed vendor, in the host's order, until visit
// returns true.
template <class Visit>
void each_interface(const DeviceList& list, ssize_t count, Visit visit) {
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor dd{};
        if (libusb_get_device_descriptor(list[i], &dd) != 0) continue;
        if (usb_vendor_listed(dd.idVendor) == 0) continue;
        Config cfg = active_config(list[i]);
        if (!cfg) continue;
        for (int k = 0; k < cfg->bNumInterfaces; ++k) {
            const libusb_interface& alts = cfg->interface[k];
            if (alts.num_altsetting < 1 || !is_bootloader_interface(alts.altsetting[0])) continue;
            if (visit(list[i], alts.altsetting[0])) return;
        }
    }
}

// An opened and claimed interface; its name is its entry name.
struct Interface : OpenInterface {
    Context ctx;  // outlives the handle: members go after the destructor's body
    libusb_device_handle* dev = nullptr;
    int number = 0;
    bool claimed = false;
    bool detached = false;
    BulkEndpoints endpoints;
    uint8_t serial_index = 0;

    ~Interface() override {
        if (dev == nullptr) return;
        if (claimed) libusb_release_interface(dev, number);
        // give the interface back to the driver it was taken from
        if (detached) libusb_attach_kernel_driver(dev, number);
        libusb_close(dev);
    }
    // a pipe only for an endpoint the interface has
    bool has_pipe(Kind kind) const override {
        return (kind == Kind::ReadPipe ? endpoints.in : endpoints.out) != 0;
    }
};

void* libusb_enum() {
    current_context() = fresh_context();
    ssize_t count = 0;
    DeviceList list = list_devices(current_context(), &count);
    if (!list) {
        usb_platform_set_last_error(USB_ERR_IO);
        return nullptr;
    }
    std::vector<std::string> names;
    each_interface(list, count, [&](libusb_device* dev, const libusb_interface_descriptor& id) {
        names.push_back(device_entry_name(dev, id.bInterfaceNumber));
        return false;
    });
    return make_enumeration(std::move(names));
}

void* libusb_create(const char* name) {
    auto ifc = std::make_shared<Interface>();
    ifc->ctx = context();
    ssize_t count = 0;
    DeviceList list = list_devices(ifc->ctx, &count);
    if (!list) {
        usb_platform_set_last_error(USB_ERR_IO);
        return nullptr;
    }
    libusb_device* found = nullptr;
    libusb_device_descriptor dd{};
    each_interface(list, count, [&](libusb_device* dev, const libusb_interface_descriptor& id) {
        if (device_entry_name(dev, id.bInterfaceNumber) != name) return false;
        if (libusb_get_device_descriptor(dev, &dd) != 0) return false;
        found = dev;
        ifc->number = id.bInterfaceNumber;
        ifc->endpoints = choose_bulk_endpoints(id);
        interface_descriptor_bytes(id, ifc->interface_descriptor);
        device_descriptor_bytes(dd, ifc->device_descriptor);
        ifc->serial_index = dd.iSerialNumber;
        ifc->name = name;
        return true;
    });
    if (found == nullptr) {
        usb_platform_set_last_error(USB_ERR_NOT_FOUND);
        return nullptr;
    }

    int r = libusb_open(found, &ifc->dev);
    if (r != 0) {
        ifc->dev = nullptr;
        usb_platform_set_last_error(translate_error(r));
        return nullptr;
    }

    // another driver owns the bootloader's interface (a generic one that bound to it): take it
    r = libusb_kernel_driver_active(ifc->dev, ifc->number);
    if (r == 1) {
        r = libusb_detach_kernel_driver(ifc->dev, ifc->number);
        if (r != 0) {
            usb_platform_set_last_error(translate_error(r));
            return nullptr;
        }
        ifc->detached = true;
    }

    r = libusb_claim_interface(ifc->dev, ifc->number);
    if (r != 0) {
        usb_platform_set_last_error(translate_error(r));
        return nullptr;
    }
    ifc->claimed = true;
    usb_platform_set_last_error(USB_ERR_NONE);
    return interface_handle(std::move(ifc));
}

// A port reset puts the bootloader back to waiting for a command. Only ever done to the
// interface a run has taken, once it is claimed: so never to one another program holds.
bool libusb_reset(void* handle) {
    auto* ifc = backend_interface<Interface>(handle);
    if (ifc == nullptr || ifc->dev == nullptr) return fail_with(USB_ERR_INVALID_HANDLE);
    const int r = libusb_reset_device(ifc->dev);
    // NOT_FOUND: the device came back as another one, found by the next enumeration
    if (r != 0) return fail_with(translate_error(r));
    usb_platform_set_last_error(USB_ERR_NONE);
    return true;
}

// The listed device whose interface goes by this entry name, with its descriptors and the index
// of its serial-number string; null when no listed interface has that name.
libusb_device* describe_entry(const DeviceList& list, ssize_t count, const char* name,
                              uint8_t device[18], uint8_t ifc[9], uint8_t* serial_index) {
    libusb_device* found = nullptr;
    each_interface(list, count, [&](libusb_device* dev, const libusb_interface_descriptor& id) {
        if (device_entry_name(dev, id.bInterfaceNumber) != name) return false;
        libusb_device_descriptor dd{};
        if (libusb_get_device_descriptor(dev, &dd) == 0) {
            device_descriptor_bytes(dd, device);
            interface_descriptor_bytes(id, ifc);
            *serial_index = dd.iSerialNumber;
            found = dev;
        }
        return true;
    });
    return found;
}

// libusb keeps every listed device's descriptors from the host's own records, so an interface
// that could not be opened (refused, or held by a driver) can still be described.
bool libusb_peek(const char* name, uint8_t device[18], uint8_t ifc[9]) {
    ssize_t count = 0;
    DeviceList list = list_devices(context(), &count);
    if (!list) return false;
    uint8_t serial_index = 0;
    return describe_entry(list, count, name, device, ifc, &serial_index) != nullptr;
}

bool libusb_device_path(const char* name, char* buf, size_t size) {
    const std::string path = entry_path(name);
    if (path.empty() || path.size() + 1 > size) return false;
    std::memcpy(buf, path.c_str(), path.size() + 1);
    return true;
}

// The descriptors are the host's records; the serial number is a string descriptor, which needs
// the device open, but nothing claimed, detached or reset. A device this user may not open is
// refused here as it would be when taken.
bool libusb_peek_device(const char* name, uint8_t device[18], uint8_t ifc[9], char* serial,
                        size_t serial_size) {
    if (serial_size == 0) return fail_with(USB_ERR_INVALID_LENGTH);
    serial[0] = '\0';
    ssize_t count = 0;
    DeviceList list = list_devices(context(), &count);
    if (!list) return fail_with(USB_ERR_IO);
    uint8_t serial_index = 0;
    libusb_device* found = describe_entry(list, count, name, device, ifc, &serial_index);
    if (found == nullptr) return fail_with(USB_ERR_NOT_FOUND);
    if (serial_index == 0 || serial_size < 2) return true;
    libusb_device_handle* dev = nullptr;
    const int r = libusb_open(found, &dev);
    if (r != 0) return fail_with(translate_error(r));
    const int n = libusb_get_string_descriptor_ascii(
        dev, serial_index, reinterpret_cast<unsigned char*>(serial),
        static_cast<int>(std::min<size_t>(serial_size, 0x7fff)));
    serial[n < 0 ? 0 : std::min(static_cast<size_t>(n), serial_size - 1)] = '\0';
    libusb_close(dev);
    return true;
}

bool libusb_serial(void* handle, char* buf, size_t size) {
    auto* ifc = backend_interface<Interface>(handle);
    if (ifc == nullptr) return fail_with(USB_ERR_INVALID_HANDLE);
    if (ifc->serial_index == 0 || size < 2) return fail_with(USB_ERR_NOT_FOUND);
    int n = libusb_get_string_descriptor_ascii(ifc->dev, ifc->serial_index,
                                               reinterpret_cast<unsigned char*>(buf),
                                               static_cast<int>(std::min<size_t>(size, 0x7fff)));
    if (n < 0) return fail_with(translate_error(n));
    buf[std::min(static_cast<size_t>(n), size - 1)] = '\0';
    return true;
}

// A stalled endpoint on a device that has gone is the device going away; on a device that is
// still there it is an I/O error, and the halt is cleared for the next transfer.
usb_platform_error stalled(Interface* ifc, uint8_t endpoint) {
    unsigned char status[2];
    int r = libusb_control_transfer(ifc->dev, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_STATUS, 0, 0,
                                    status, sizeof status, 1000);
    if (r == LIBUSB_ERROR_NO_DEVICE) return USB_ERR_INVALID_HANDLE;
    libusb_clear_halt(ifc->dev, endpoint);
    return USB_ERR_IO;
}

bool bulk(void* pipe, Kind kind, unsigned char* buf, uint32_t len, uint32_t* moved,
          uint32_t timeout_ms) {
    *moved = 0;
    // only a pipe of the transfer's own direction carries it
    auto* ifc = backend_pipe<Interface>(pipe, kind);
    if (ifc == nullptr || ifc->dev == nullptr) return fail_with(USB_ERR_INVALID_HANDLE);
    uint8_t ep = kind == Kind::ReadPipe ? ifc->endpoints.in : ifc->endpoints.out;
    int done = 0;
    // libusb waits for ever on a timeout of 0
    unsigned int timeout = timeout_ms == 0 ? 1 : timeout_ms;
    int r = libusb_bulk_transfer(ifc->dev, ep, buf, static_cast<int>(len), &done, timeout);
    if (r == LIBUSB_ERROR_TIMEOUT && done > 0) r = 0;  // bytes came: that is a transfer
    if (r == 0) {
        *moved = static_cast<uint32_t>(done);
        usb_platform_set_last_error(USB_ERR_NONE);
        return true;
    }
    if (r == LIBUSB_ERROR_PIPE) return fail_with(stalled(ifc, ep));
    // a transfer fails only as a timeout, a device gone, or an I/O error
    usb_platform_error e = translate_error(r);
    if (e != USB_ERR_TIMEOUT && e != USB_ERR_INVALID_HANDLE) e = USB_ERR_IO;
    return fail_with(e);
}

bool libusb_read(void* pipe, void* buf, uint32_t len, uint32_t* got, uint32_t timeout_ms) {
    return bulk(pipe, Kind::ReadPipe, static_cast<unsigned char*>(buf), len, got, timeout_ms);
}

bool libusb_write(void* pipe, const void* buf, uint32_t len, uint32_t* put, uint32_t timeout_ms) {
    // libusb's buffer is not const, but an OUT transfer only reads it
    auto* bytes = static_cast<unsigned char*>(const_cast<void*>(buf));
    return bulk(pipe, Kind::WritePipe, bytes, len, put, timeout_ms);
}

// one operation a line, in the order of usb_platform's fields
// clang-format off
const usb_platform kLibusbPlatform = {
    "libusb",
    libusb_enum,
    next_name,
    close_enumeration,
    libusb_create,
    open_read_pipe,
    open_write_pipe,
    interface_name,
    device_descriptor,
    interface_descriptor,
    libusb_serial,
    libusb_read,
    libusb_write,
    close_handle,
    false,  // real hardware
    libusb_peek,
    libusb_device_path,
    libusb_peek_device,
    libusb_reset,
};
// clang-format on

}  // namespace

const usb_platform* usb_platform_libusb() {
    return &kLibusbPlatform;
}
