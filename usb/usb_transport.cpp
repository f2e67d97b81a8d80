// The portable half of the USB transport: finding the bootloader's interface and the bulk
// transfers, written once over whichever platform backend is in use.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "usb/usb.h"
#include "usb/usb_backend.h"
#include "usb/usb_platform.h"

namespace {

// one synchronous platform transfer never moves more than this
constexpr uint32_t kMaxChunk = 1048576;

const usb_platform& platform() {
    return *usb_platform_current();
}

const usb_platform& platform_of(const usb_handle* h) {
    return h->platform != nullptr ? *h->platform : platform();
}

// the command transport shows errno in its messages, in the words of usb_error_text
void copy_last_error_to_errno() {
    errno = usb_platform_last_error();
}

// 8 ms per byte plus 500 ms for one platform transfer. Taken from that transfer's own length
// (never more than 1 MiB), so it neither wraps nor grows with the size of the whole write.
uint32_t transfer_timeout_ms(uint32_t len) {
    const uint64_t ms = 8ULL * len + 500U;
    return ms > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ms);
}

// A transfer that fails with `code`, in the platform's last error and errno: -1.
int transfer_fails(usb_platform_error code) {
    usb_platform_set_last_error(code);
    copy_last_error_to_errno();
    return -1;
}

// a platform that claims to have moved more than it was offered cannot be trusted with the rest
int bad_count() {
    return transfer_fails(USB_ERR_BAD_COUNT);
}

uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

struct HandleDeleter {
    void operator()(usb_handle* h) const {
        usb_cleanup_handle(h);
        delete h;
    }
};
using OwnedHandle = std::unique_ptr<usb_handle, HandleDeleter>;

usb_seen g_seen;

uint32_t g_read_patience_ms = 0;

// bootloader interface of a listed vendor, from its raw descriptors
bool bootloader_of_listed_vendor(const uint8_t* device, const uint8_t* ifc) {
    return usb_vendor_listed(le16(device + 8)) != 0 && ifc[4] == 2 && ifc[5] == 0xFF &&
           ifc[6] == 0x42 && ifc[7] == 0x03;
}

// An interface that could not be opened is worth telling a waiting person about only when it
// was refused or is held, and is (as far as the host can say without opening it) a bootloader.
void note_unopened(const char* name) {
    const int why = usb_platform_last_error();
    if (why != USB_ERR_ACCESS_DENIED && why != USB_ERR_BUSY) return;
    std::string what = name;
    const usb_platform& p = platform();
    uint8_t device[18] = {};
    uint8_t ifc[9] = {};
    if (p.peek_descriptors != nullptr && p.peek_descriptors(name, device, ifc)) {
        if (!bootloader_of_listed_vendor(device, ifc)) return;
        char ids[16];
        std::snprintf(ids, sizeof ids, "%04x:%04x", le16(device + 8), le16(device + 10));
        what = std::string(ids) + " at " + name;
    }
    (why == USB_ERR_ACCESS_DENIED ? g_seen.refused : g_seen.busy).push_back(std::move(what));
}

// where the backend places a listed interface's device; false where it cannot tell
bool place_of(const char* name, char* path, size_t size) {
    const usb_platform& p = platform();
    if (p.device_path == nullptr || name == nullptr || size == 0) return false;
    const int saved = usb_platform_last_error();
    const bool known = p.device_path(name, path, size);
    usb_platform_set_last_error(saved);
    if (known) path[size - 1] = '\0';
    return known;
}

// The match function's view of an interface from its two descriptors; false when it is not an
// interface of two endpoints. The serial number and the place are the caller's to fill.
bool fill_info(const uint8_t* device, const uint8_t* ifc, usb_ifc_info* info) {
    // the bootloader's interface has exactly one bulk IN and one bulk OUT endpoint
    if (ifc[4] != 2) return false;
    *info = usb_ifc_info{};
    info->dev_vendor = le16(device + 8);
    info->dev_product = le16(device + 10);
    info->dev_class = device[4];
    info->dev_subclass = device[5];
    info->dev_protocol = device[6];
    info->ifc_class = ifc[5];
    info->ifc_subclass = ifc[6];
    info->ifc_protocol = ifc[7];
    info->writable = 1;
    return true;
}

void fill_place(const char* name, usb_ifc_info* info) {
    if (!place_of(name, info->device_path, sizeof info->device_path)) info->device_path[0] = '\0';
}

// the descriptors and serial number of an open interface; false when they cannot be read or it
// is not an interface of two endpoints
bool read_info(usb_handle* handle, usb_ifc_info* info) {
    const usb_platform& p = platform_of(handle);
    uint8_t device[18] = {};
    uint8_t ifc[9] = {};
    if (!p.device_descriptor(handle->qrb_interface, device)) return false;
    if (!p.interface_descriptor(handle->qrb_interface, ifc)) return false;
    if (!fill_info(device, ifc, info)) return false;
    if (!p.serial_number(handle->qrb_interface, info->serial_number, sizeof info->serial_number)) {
        info->serial_number[0] = '\0';
    }
    info->serial_number[sizeof info->serial_number - 1] = '\0';
    fill_place(handle->interface_name, info);
    return true;
}

enum class Look { Unopened, NotTwoEndpoints, Seen };

// What the match function is shown of a listed interface. Read while the device is left alone
// where the backend can look at it so; otherwise through an open (claimed) interface, left in
// `opened` for the caller to take or drop.
Look look_at(const char* name, usb_ifc_info* info, OwnedHandle& opened) {
    const usb_platform& p = platform();
    if (p.peek_device == nullptr) {
        opened.reset(do_usb_open(name));
        if (!opened) return Look::Unopened;
        return read_info(opened.get(), info) ? Look::Seen : Look::NotTwoEndpoints;
    }
    uint8_t device[18] = {};
    uint8_t ifc[9] = {};
    char serial_text[sizeof info->serial_number] = {};
    if (!p.peek_device(name, device, ifc, serial_text, sizeof serial_text)) return Look::Unopened;
    if (!fill_info(device, ifc, info)) return Look::NotTwoEndpoints;
    std::memcpy(info->serial_number, serial_text, sizeof serial_text);
    info->serial_number[sizeof info->serial_number - 1] = '\0';
    fill_place(name, info);
    return Look::Seen;
}

// the interface opened is still the device the match accepted (it may have been replaced at
// the same place between the look and the open)
bool same_device(const usb_ifc_info& a, const usb_ifc_info& b) {
    return a.dev_vendor == b.dev_vendor && a.dev_product == b.dev_product &&
           a.dev_class == b.dev_class && a.dev_subclass == b.dev_subclass &&
           a.dev_protocol == b.dev_protocol && a.ifc_class == b.ifc_class &&
           a.ifc_subclass == b.ifc_subclass && a.ifc_protocol == b.ifc_protocol &&
           std::strcmp(a.serial_number, b.serial_number) == 0 &&
           std::strcmp(a.device_path, b.device_path) == 0;
}

enum class Reset { Yes, No };

// The accepted interface, claimed (unless the look opened it already) and, for a run, reset.
// Null when it cannot be had now; the next search tries again.
OwnedHandle take(const char* name, const usb_ifc_info& accepted, OwnedHandle opened, Reset reset) {
    if (!opened) {
        opened.reset(do_usb_open(name));
        if (!opened) {
            note_unopened(name);
            return nullptr;
        }
        usb_ifc_info now{};
        if (!read_info(opened.get(), &now) || !same_device(now, accepted)) return nullptr;
    }
    const usb_platform& p = platform_of(opened.get());
    if (reset == Reset::Yes && p.reset_interface != nullptr &&
        !p.reset_interface(opened->qrb_interface)) {
        copy_last_error_to_errno();
        return nullptr;
    }
    return opened;
}

// A bootloader that hangs elsewhere than the device looked for: told apart by what the host
// keeps of it, and never opened.
void note_elsewhere(const char* name, const std::string& path) {
    const usb_platform& p = platform();
    uint8_t device[18] = {};
    uint8_t ifc[9] = {};
    char serial_text[256] = {};
    const int saved = usb_platform_last_error();
    const bool peeked = p.peek_device != nullptr &&
                        p.peek_device(name, device, ifc, serial_text, sizeof serial_text);
    usb_platform_set_last_error(saved);
    if (!peeked || !bootloader_of_listed_vendor(device, ifc)) return;
    serial_text[sizeof serial_text - 1] = '\0';
    const std::string who = serial_text[0] != '\0' ? serial_text : "(no serial number)";
    g_seen.elsewhere.push_back(who + " at " + path);
}

// Every listed interface is looked at and shown to the match function; the first it accepts, in
// the platform's order, is the only one claimed, and (for a run) the only one reset.
usb_handle* find(ifc_match_func callback, const char* only_path, Reset reset) {
    const usb_platform& p = platform();
    g_seen = usb_seen{};
    g_seen.simulated = p.simulated;
    void* enumeration = p.enum_interfaces();
    if (enumeration == nullptr) return nullptr;

    const bool limited = only_path != nullptr && *only_path != '\0';
    char name[2048];
    for (;;) {
        if (!p.next_interface(enumeration, name, sizeof name)) break;
        name[sizeof name - 1] = '\0';
        char path[256];
        if (limited && place_of(name, path, sizeof path) && std::strcmp(path, only_path) != 0) {
            note_elsewhere(name, path);
            continue;
        }
        usb_ifc_info info{};
        OwnedHandle opened;
        const Look look = look_at(name, &info, opened);
        if (look == Look::Unopened) note_unopened(name);
        if (look != Look::Seen) continue;
        if (callback(&info) != 0) {
            if (usb_vendor_listed(info.dev_vendor) != 0 && info.ifc_class == 0xFF &&
                info.ifc_subclass == 0x42 && info.ifc_protocol == 0x03) {
                g_seen.other_serials.emplace_back(info.serial_number);
            }
            continue;
        }
        OwnedHandle h = take(name, info, std::move(opened), reset);
        if (!h) continue;
        p.close_enum(enumeration);
        return h.release();
    }
    p.close_enum(enumeration);
    return nullptr;
}

}  // namespace

const usb_seen& usb_last_seen() {
    return g_seen;
}

void usb_backend::note_no_driver(std::string what) {
    g_seen.no_driver.push_back(std::move(what));
}

void usb_cleanup_handle(usb_handle* h) {
    if (h == nullptr) return;
    // releasing a handle whose device has gone fails below, and must not change the reason the
    // caller is about to report (the host library's own calls leave their errno behind)
    const int saved_errno = errno;
    const int saved_error = usb_platform_last_error();
    const usb_platform& p = platform_of(h);
    delete[] h->interface_name;
    if (h->qrb_write_pipe != nullptr) p.close_handle(h->qrb_write_pipe);
    if (h->qrb_read_pipe != nullptr) p.close_handle(h->qrb_read_pipe);
    if (h->qrb_interface != nullptr) p.close_handle(h->qrb_interface);
    h->interface_name = nullptr;
    h->qrb_write_pipe = nullptr;
    h->qrb_read_pipe = nullptr;
    h->qrb_interface = nullptr;
    usb_platform_set_last_error(saved_error);
    errno = saved_errno;
}

void usb_kick(usb_handle* h) {
    if (h == nullptr) {
        usb_platform_set_last_error(USB_ERR_INVALID_HANDLE);
        errno = USB_ERR_INVALID_HANDLE;
        return;
    }
    usb_cleanup_handle(h);
}

int usb_is_simulated(const usb_handle* h) {
    return h != nullptr && platform_of(h).simulated ? 1 : 0;
}

int usb_close(usb_handle* h) {
    if (h == nullptr) return 0;
    OwnedHandle owned(h);
    return 0;
}

usb_handle* do_usb_open(const char* interface_name) {
    OwnedHandle h(new (std::nothrow) usb_handle{});
    if (!h) return nullptr;
    const usb_platform& p = platform();
    h->platform = &p;

    h->qrb_interface = p.create_interface(interface_name);
    if (h->qrb_interface == nullptr) {
        copy_last_error_to_errno();
        return nullptr;
    }

    auto fail = [&h]() -> usb_handle* {
        // releasing what was opened must not lose the reason the open failed
        int saved = usb_platform_last_error();
        errno = saved;
        h.reset();
        usb_platform_set_last_error(saved);
        return nullptr;
    };

    h->qrb_read_pipe = p.open_read_pipe(h->qrb_interface);
    if (h->qrb_read_pipe == nullptr) return fail();
    h->qrb_write_pipe = p.open_write_pipe(h->qrb_interface);
    if (h->qrb_write_pipe == nullptr) return fail();

    size_t len = 0;
    p.interface_name(h->qrb_interface, nullptr, &len);
    if (len == 0) return fail();
    h->interface_name = new (std::nothrow) char[len];
    if (h->interface_name == nullptr) {
        usb_platform_set_last_error(USB_ERR_NOT_ENOUGH_MEMORY);
        return fail();
    }
    if (!p.interface_name(h->qrb_interface, h->interface_name, &len)) return fail();
    h->interface_name[len - 1] = '\0';
    return h.release();
}

int recognized_device(usb_handle* handle, ifc_match_func callback) {
    if (handle == nullptr) return 0;
    usb_ifc_info info{};
    if (!read_info(handle, &info)) return 0;
    return callback(&info) == 0 ? 1 : 0;
}

usb_handle* find_usb_device(ifc_match_func callback) {
    return find(callback, nullptr, Reset::Yes);
}

usb_handle* usb_open(ifc_match_func callback) {
    return find(callback, nullptr, Reset::Yes);
}

usb_handle* usb_open_to_query(ifc_match_func callback) {
    return find(callback, nullptr, Reset::No);
}

usb_handle* usb_open_at(const char* path, ifc_match_func callback) {
    return find(callback, path, Reset::Yes);
}

void usb_set_read_patience(uint32_t ms) {
    g_read_patience_ms = ms;
}

int usb_read(usb_handle* h, void* data, int len) {
    if (h == nullptr) return transfer_fails(USB_ERR_INVALID_HANDLE);
    if (len < 0) return transfer_fails(USB_ERR_INVALID_LENGTH);
    // a kicked handle has no pipe left: the device is gone
    if (h->qrb_read_pipe == nullptr) return transfer_fails(USB_ERR_INVALID_HANDLE);
    // one transfer of at most 1 MiB; the caller gets what it brought
    const uint32_t ask = static_cast<uint32_t>(len) < kMaxChunk ? len : kMaxChunk;
    const uint32_t timeout = transfer_timeout_ms(ask);
    const usb_platform& p = platform_of(h);
    const auto began = std::chrono::steady_clock::now();
    for (;;) {
        uint32_t got = 0;
        bool ok = p.read_sync(h->qrb_read_pipe, data, ask, &got, timeout);
        copy_last_error_to_errno();
        if (ok) {
            if (got > ask) return bad_count();
            return static_cast<int>(got);
        }
        // a device that is merely slow is waited for, without limit unless a patience is set
        if (usb_platform_last_error() == USB_ERR_TIMEOUT &&
            (g_read_patience_ms == 0 || std::chrono::steady_clock::now() - began <
                                            std::chrono::milliseconds(g_read_patience_ms))) {
            continue;
        }
        if (usb_platform_last_error() == USB_ERR_INVALID_HANDLE) usb_kick(h);
        return -1;
    }
}

int usb_write(usb_handle* h, const void* data, int len) {
    if (h == nullptr) return transfer_fails(USB_ERR_INVALID_HANDLE);
    // nothing to send is the caller's mistake; say so rather than leave a stale errno
    if (len <= 0) return transfer_fails(USB_ERR_INVALID_LENGTH);
    if (h->qrb_write_pipe == nullptr) return transfer_fails(USB_ERR_INVALID_HANDLE);
    const usb_platform& p = platform_of(h);
    const auto* bytes = static_cast<const unsigned char*>(data);
    const auto total_len = static_cast<uint32_t>(len);
    uint32_t total = 0;
    while (total < total_len) {
        const uint32_t left = total_len - total;
        const uint32_t chunk = left < kMaxChunk ? left : kMaxChunk;
        uint32_t put = 0;
        bool ok =
            p.write_sync(h->qrb_write_pipe, bytes + total, chunk, &put, transfer_timeout_ms(chunk));
        copy_last_error_to_errno();
        if (!ok) {
            if (usb_platform_last_error() == USB_ERR_INVALID_HANDLE) usb_kick(h);
            return -1;
        }
        if (put > chunk) return bad_count();
        // a chunk the device takes nothing of would be offered again for ever: report the
        // short write instead, with a reason for whoever words it
        if (put == 0) {
            usb_platform_set_last_error(USB_ERR_IO);
            copy_last_error_to_errno();
            return static_cast<int>(total);
        }
        total += put;
    }
    return static_cast<int>(total);
}
