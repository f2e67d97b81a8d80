// The twin behind the platform table: each bulk OUT transfer goes straight to the bootloader
// core, which answers at once; status packets wait for the IN pipe's reads. A device that
// leaves the bus (a reboot, a fault) kills the handles open on it and is listed again at once.
#include "usb/usb_twin.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <utility>

#include "devsim/bootloader.h"
#include "devsim/transcript.h"
#include "usb/usb_backend.h"

namespace {

using namespace usb_backend;

struct Twin {
    devsim::DigestStorage storage;
    devsim::Transcript transcript;
    std::vector<usb_twin::Event> events;
    std::unique_ptr<devsim::Bootloader> bootloader;
    unsigned generation = 0;  // the device's time on the bus: a restart begins a new one
};

std::unique_ptr<Twin> g_twin;
bool g_simulated = true;
std::string g_path;

struct TwinInterface : OpenInterface {
    unsigned generation = 0;
    std::deque<std::string> packets;  // status packets not read yet
    bool gone() const { return !g_twin || g_twin->generation != generation; }
    ~TwinInterface() override {
        // a host that leaves in the middle of a data phase abandons it
        if (!gone()) g_twin->bootloader->host_left();
    }
};

std::string twin_name() {
    return "twin:" + g_twin->bootloader->config().serial;
}

void* twin_enum() {
    std::vector<std::string> names;
    if (g_twin) names.push_back(twin_name());
    return make_enumeration(std::move(names));
}

void* twin_create(const char* name) {
    if (!g_twin || name != twin_name()) {
        usb_platform_set_last_error(USB_ERR_NOT_FOUND);
        return nullptr;
    }
    auto ifc = std::make_shared<TwinInterface>();
    ifc->name = name;
    ifc->generation = g_twin->generation;
    const auto dev = devsim::device_descriptor(g_twin->bootloader->config());
    const auto desc = devsim::interface_descriptor(g_twin->bootloader->config());
    std::memcpy(ifc->device_descriptor, dev.data(), dev.size());
    std::memcpy(ifc->interface_descriptor, desc.data(), desc.size());
    usb_platform_set_last_error(USB_ERR_NONE);
    return interface_handle(std::move(ifc));
}

bool copy_serial(char* buf, size_t size) {
    const devsim::DeviceConfig& config = g_twin->bootloader->config();
    if (!config.serial_readable || size == 0) return fail_with(USB_ERR_IO);
    const size_t n = std::min(config.serial.size(), size - 1);
    std::memcpy(buf, config.serial.data(), n);
    buf[n] = '\0';
    return true;
}

bool twin_serial(void* ifc, char* buf, size_t size) {
    auto* twin = backend_interface<TwinInterface>(ifc);
    if (twin == nullptr || twin->gone()) return fail_with(USB_ERR_INVALID_HANDLE);
    return copy_serial(buf, size);
}

// Everything the core has to say after a transfer: the count it took (none when it left before
// taking it), its packets for this interface, and whether it left the bus.
std::optional<uint32_t> drain(TwinInterface& ifc) {
    std::optional<uint32_t> taken;
    auto& out = g_twin->bootloader->output();
    while (!out.empty()) {
        devsim::Output o = std::move(out.front());
        out.pop_front();
        switch (o.kind) {
            case devsim::OutputKind::Ack:
                if (!taken) taken = o.value;
                break;
            case devsim::OutputKind::Work:
                g_twin->bootloader->run_pending();
                break;
            case devsim::OutputKind::Status:
                ifc.packets.push_back(std::move(o.packet));
                break;
            case devsim::OutputKind::Pause:
                break;  // the twin never waits
            case devsim::OutputKind::Vanish:
            case devsim::OutputKind::Reboot:
                // the packets already out stay readable; the handle is dead after them
                ++g_twin->generation;
                g_twin->bootloader->back();
                break;
        }
    }
    return taken;
}

bool twin_write(void* pipe, const void* buf, uint32_t len, uint32_t* put, uint32_t /*timeout*/) {
    *put = 0;
    auto* ifc = backend_pipe<TwinInterface>(pipe, Kind::WritePipe);
    if (ifc == nullptr || ifc->gone()) return fail_with(USB_ERR_INVALID_HANDLE);
    devsim::Bootloader& core = *g_twin->bootloader;
    std::span<uint8_t> into = core.transfer_buffer(len);
    if (len > 0) std::memcpy(into.data(), buf, len);
    core.transfer_done(len);
    const std::optional<uint32_t> taken = drain(*ifc);
    if (!taken) return fail_with(USB_ERR_INVALID_HANDLE);
    *put = *taken;
    usb_platform_set_last_error(USB_ERR_NONE);
    return true;
}

bool twin_read(void* pipe, void* buf, uint32_t len, uint32_t* got, uint32_t /*timeout*/) {
    *got = 0;
    auto* ifc = backend_pipe<TwinInterface>(pipe, Kind::ReadPipe);
    if (ifc == nullptr) return fail_with(USB_ERR_INVALID_HANDLE);
    if (ifc->packets.empty())
        return fail_with(ifc->gone() ? USB_ERR_INVALID_HANDLE : USB_ERR_TIMEOUT);
    return read_queued(ifc->packets, buf, len, got);
}

bool twin_peek(const char* name, uint8_t device[18], uint8_t ifc[9], char* serial, size_t size) {
    if (!g_twin || name != twin_name()) return fail_with(USB_ERR_NOT_FOUND);
    const auto dev = devsim::device_descriptor(g_twin->bootloader->config());
    const auto desc = devsim::interface_descriptor(g_twin->bootloader->config());
    std::memcpy(device, dev.data(), dev.size());
    std::memcpy(ifc, desc.data(), desc.size());
    if (!copy_serial(serial, size) && size > 0) serial[0] = '\0';
    return true;
}

bool twin_path(const char* name, char* buf, size_t size) {
    if (!g_twin || name != twin_name() || g_path.empty() || g_path.size() >= size) return false;
    std::memcpy(buf, g_path.c_str(), g_path.size() + 1);
    return true;
}

constexpr usb_platform make_platform(bool simulated) {
    usb_platform p{};
    p.name = "twin";
    p.enum_interfaces = twin_enum;
    p.next_interface = next_name;
    p.close_enum = close_enumeration;
    p.create_interface = twin_create;
    p.open_read_pipe = open_read_pipe;
    p.open_write_pipe = open_write_pipe;
    p.interface_name = interface_name;
    p.device_descriptor = device_descriptor;
    p.interface_descriptor = interface_descriptor;
    p.serial_number = twin_serial;
    p.read_sync = twin_read;
    p.write_sync = twin_write;
    p.close_handle = close_handle;
    p.simulated = simulated;
    p.peek_descriptors = nullptr;
    p.device_path = twin_path;
    p.peek_device = twin_peek;
    p.reset_interface = nullptr;
    return p;
}

constexpr usb_platform kSimulated = make_platform(true);
constexpr usb_platform kNotSimulated = make_platform(false);

}  // namespace

namespace usb_twin {

void start(devsim::DeviceConfig config, bool counts_as_simulated, std::string path) {
    g_twin = std::make_unique<Twin>();
    g_simulated = counts_as_simulated;
    g_path = std::move(path);
    config.keep_download = false;
    config.reboot_delay_ms = 0;
    Twin& twin = *g_twin;
    twin.transcript.follow([&twin](const devsim::TranscriptEvent& e) {
        twin.events.push_back({std::string(e.ev), std::string(e.text), e.bytes});
    });
    twin.bootloader =
        std::make_unique<devsim::Bootloader>(std::move(config), twin.storage, twin.transcript);
}

void stop() {
    g_twin.reset();
}

const std::vector<Event>& events() {
    static const std::vector<Event> none;
    return g_twin ? g_twin->events : none;
}

const std::vector<devsim::DigestStorage::Write>& writes() {
    static const std::vector<devsim::DigestStorage::Write> none;
    return g_twin ? g_twin->storage.writes() : none;
}

std::string variable(const std::string& name) {
    if (!g_twin) return {};
    const auto& vars = g_twin->bootloader->config().vars;
    auto it = vars.find(name);
    return it == vars.end() ? std::string() : it->second;
}

}  // namespace usb_twin

const usb_platform* usb_platform_twin() {
    return g_simulated ? &kSimulated : &kNotSimulated;
}
