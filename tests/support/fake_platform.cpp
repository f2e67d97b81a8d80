#include "support/fake_platform.h"

#include <algorithm>
#include <cerrno>

namespace fake {

namespace {

State g_state;

void* give(Kind kind, size_t ifc) {
    g_state.tokens.push_back(std::make_unique<Token>(Token{kind, ifc}));
    return g_state.tokens.back().get();
}

// one of the handles given out, or null
const Token* token_of(const void* handle) {
    for (const auto& t : g_state.tokens) {
        if (t.get() == handle) return t.get();
    }
    return nullptr;
}

bool is_interface(const void* handle) {
    const Token* t = token_of(handle);
    return t != nullptr && t->kind == Kind::Interface;
}

const Interface* interface_of(void* handle) {
    auto* t = static_cast<Token*>(handle);
    return &g_state.interfaces.at(t->ifc);
}

struct Enumeration {
    size_t next = 0;
};

void* enum_interfaces() {
    if (g_state.enum_fails) {
        usb_platform_set_last_error(USB_ERR_IO);
        return nullptr;
    }
    ++g_state.enums_open;
    ++g_state.enumerations;
    return std::make_unique<Enumeration>().release();
}

bool next_interface(void* e, char* name, size_t size) {
    auto* en = static_cast<Enumeration*>(e);
    if (g_state.enumerations <= g_state.absent_for) return false;
    if (en->next >= g_state.interfaces.size()) return false;
    const std::string& n = g_state.interfaces[en->next++].name;
    std::snprintf(name, size, "%s", n.c_str());
    return true;
}

void close_enum(void* e) {
    --g_state.enums_open;
    std::unique_ptr<Enumeration> owned(static_cast<Enumeration*>(e));
}

void* create_interface(const char* name) {
    for (size_t i = 0; i < g_state.interfaces.size(); ++i) {
        const Interface& ifc = g_state.interfaces[i];
        if (ifc.name != name) continue;
        if (ifc.create_error != 0) {
            usb_platform_set_last_error(ifc.create_error);
            return nullptr;
        }
        return give(Kind::Interface, i);
    }
    usb_platform_set_last_error(USB_ERR_NOT_FOUND);
    return nullptr;
}

void* open_read_pipe(void* h) {
    if (interface_of(h)->no_read_pipe) {
        usb_platform_set_last_error(USB_ERR_NOT_FOUND);
        return nullptr;
    }
    return give(Kind::ReadPipe, static_cast<Token*>(h)->ifc);
}

void* open_write_pipe(void* h) {
    if (interface_of(h)->no_write_pipe) {
        usb_platform_set_last_error(USB_ERR_NOT_FOUND);
        return nullptr;
    }
    return give(Kind::WritePipe, static_cast<Token*>(h)->ifc);
}

bool interface_name(void* h, char* buf, size_t* len) {
    const Interface* ifc = interface_of(h);
    if (ifc->no_name) {
        *len = 0;
        usb_platform_set_last_error(USB_ERR_IO);
        return false;
    }
    if (buf == nullptr) {
        *len = ifc->name.size() + 1;
        return true;
    }
    if (*len < ifc->name.size() + 1) return false;
    std::memcpy(buf, ifc->name.c_str(), ifc->name.size() + 1);
    return true;
}

bool device_bytes(const Interface* ifc, uint8_t out[18]) {
    if (ifc->no_device_descriptor) return false;
    std::memset(out, 0, 18);
    out[0] = 18;
    out[1] = 1;
    out[8] = static_cast<uint8_t>(ifc->vendor);
    out[9] = static_cast<uint8_t>(ifc->vendor >> 8);
    out[10] = static_cast<uint8_t>(ifc->product);
    out[11] = static_cast<uint8_t>(ifc->product >> 8);
    return true;
}

void interface_bytes(const Interface* ifc, uint8_t out[9]) {
    const uint8_t bytes[9] = {9, 4, 0, 0, ifc->endpoints, ifc->cls, ifc->subclass, ifc->protocol,
                              0};
    std::memcpy(out, bytes, sizeof bytes);
}

bool device_descriptor(void* h, uint8_t out[18]) {
    return device_bytes(interface_of(h), out);
}

bool interface_descriptor(void* h, uint8_t out[9]) {
    interface_bytes(interface_of(h), out);
    return true;
}

// a look that leaves the device alone: what a failed open would say, else its descriptors and
// serial number, with no handle given out
bool peek_device(const char* name, uint8_t device[18], uint8_t ifc[9], char* serial,
                 size_t serial_size) {
    for (const Interface& i : g_state.interfaces) {
        if (i.name != name) continue;
        ++g_state.peeks;
        if (i.create_error != 0) {
            usb_platform_set_last_error(i.create_error);
            return false;
        }
        if (!device_bytes(&i, device)) return false;
        interface_bytes(&i, ifc);
        std::snprintf(serial, serial_size, "%s", i.serial.value_or("").c_str());
        return true;
    }
    usb_platform_set_last_error(USB_ERR_NOT_FOUND);
    return false;
}

bool reset_interface(void* h) {
    ++g_state.resets[interface_of(h)->name];
    return true;
}

bool serial_number(void* h, char* buf, size_t size) {
    const Interface* ifc = interface_of(h);
    if (!ifc->serial) {
        // what a failed read may leave behind must not leak into the match
        std::snprintf(buf, size, "garbage");
        usb_platform_set_last_error(USB_ERR_IO);
        return false;
    }
    std::snprintf(buf, size, "%s", ifc->serial->c_str());
    return true;
}

// The next scripted transfer of a pipe, taken from `steps`; none, with the platform's last error
// set, when there is no pipe or script left (USB_ERR_INVALID_HANDLE) or the step fails.
std::optional<Step> next_step(void* pipe, std::deque<Step>& steps) {
    if (pipe == nullptr || steps.empty()) {
        usb_platform_set_last_error(USB_ERR_INVALID_HANDLE);
        return std::nullopt;
    }
    Step s = steps.front();
    steps.pop_front();
    if (!s.ok) {
        usb_platform_set_last_error(s.error);
        return std::nullopt;
    }
    return s;
}

bool read_sync(void* pipe, void* buf, uint32_t len, uint32_t* got, uint32_t timeout_ms) {
    g_state.read_calls.push_back({buf, len, timeout_ms});
    *got = 0;
    if (pipe != nullptr && g_state.device != nullptr) {
        std::optional<std::string> packet = g_state.device->give();
        if (!packet) {
            usb_platform_set_last_error(USB_ERR_IO);
            return false;
        }
        *got = static_cast<uint32_t>(std::min<size_t>(packet->size(), len));
        std::memcpy(buf, packet->data(), *got);
        usb_platform_set_last_error(USB_ERR_NONE);
        return true;
    }
    const std::optional<Step> s = next_step(pipe, g_state.reads);
    if (!s) return false;
    std::memcpy(buf, s->data.data(), std::min<size_t>(s->data.size(), len));
    *got = static_cast<uint32_t>(s->data.size());
    usb_platform_set_last_error(USB_ERR_NONE);
    return true;
}

bool write_sync(void* pipe, const void* buf, uint32_t len, uint32_t* put, uint32_t timeout_ms) {
    g_state.write_calls.push_back({buf, len, timeout_ms});
    *put = 0;
    if (pipe != nullptr && g_state.device != nullptr) {
        g_state.device->take(std::string_view(static_cast<const char*>(buf), len));
        *put = len;
        usb_platform_set_last_error(USB_ERR_NONE);
        return true;
    }
    const std::optional<Step> s = next_step(pipe, g_state.writes);
    if (!s) return false;
    const uint32_t taken = s->take ? std::min(*s->take, len) : len;
    *put = s->report ? *s->report : taken;
    usb_platform_set_last_error(USB_ERR_NONE);
    return true;
}

void close_handle(void* h) {
    ++g_state.closes[h];
    if (g_state.device != nullptr && is_interface(h)) {
        g_state.device->closed();
    }
    // a close succeeds and leaves its own last error, as a host's close does, and an errno of
    // the C library's (libusb's release of a device that has gone fails with ENODEV)
    usb_platform_set_last_error(USB_ERR_NONE);
    errno = ENODEV;
}

const usb_platform kFake = {
    "fake",         enum_interfaces, next_interface, close_enum,        create_interface,
    open_read_pipe, open_write_pipe, interface_name, device_descriptor, interface_descriptor,
    serial_number,  read_sync,       write_sync,     close_handle,
    false,    // scripted as a host's USB
    nullptr,  // descriptors only through an open interface
    nullptr,  // no place: a device is told by its serial number
    nullptr,        reset_interface,
};

// the platform installed: kFake, as a simulated device or with a look at a device that leaves
// it alone where a test asks for that
usb_platform g_installed = kFake;

}  // namespace

State& state() {
    return g_state;
}

const usb_platform* platform() {
    return &kFake;
}

Installed::Installed() : previous_(usb_platform_current()) {
    g_state = State{};
    g_installed = kFake;
    usb_platform_install(&g_installed);
    usb_platform_set_last_error(USB_ERR_NONE);
}

void set_simulated(bool simulated) {
    g_installed.simulated = simulated;
    usb_platform_install(&g_installed);
}

void set_peeking(bool peeking) {
    g_installed.peek_device = peeking ? peek_device : nullptr;
    usb_platform_install(&g_installed);
}

Installed::~Installed() {
    usb_platform_install(previous_);
    serial = nullptr;
}

int handles_left_open() {
    int n = 0;
    for (const auto& t : g_state.tokens) {
        if (g_state.closes.count(t.get()) == 0) ++n;
    }
    return n;
}

int interfaces_opened() {
    return static_cast<int>(
        std::count_if(g_state.tokens.begin(), g_state.tokens.end(),
                      [](const auto& t) { return t->kind == Kind::Interface; }));
}

int interfaces_closed() {
    int n = 0;
    for (const auto& [h, count] : g_state.closes) {
        if (is_interface(h)) n += count;
    }
    return n;
}

int handles_closed_twice() {
    int n = 0;
    for (const auto& [h, count] : g_state.closes) {
        if (count > 1) ++n;
    }
    return n;
}

}  // namespace fake
