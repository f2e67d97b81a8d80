// The simulated bootloader as a USB device of a virtual machine: this program is the USB host
// side of the usbredir protocol on a VM's usb-redir socket, and the device it redirects is the
// bootloader core (devsim/). The guest's kernel sees a high-speed device with the bootloader's
// interface and its two bulk pipes; the guest's bulk transfers go into and out of the core, and
// the core's reboot is the device leaving the guest's bus and coming back as a new device.
//
//   devsim_usbredir SOCKET [--transcript FILE] [--storage DIR] --device NAME [device options]
//
// SOCKET is the VM's chardev (a Unix-domain socket it listens on); the device options are
// tessaro-devsim's (serial, variables, loader verflags, faults, --appear-after, ...). The device
// is connected once the VM has said hello and its --appear-after has passed. It runs until the
// VM closes the socket or SIGTERM.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <usbredirparser.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "devsim/bootloader.h"
#include "devsim/options.h"
#include "devsim/storage.h"
#include "devsim/transcript.h"
#include "support/bus_pump.h"
#include "support/usb_device_desc.h"

namespace {

using Clock = std::chrono::steady_clock;

// a device that vanishes is back at once, but after its removal has been seen
constexpr auto kVanishGap = std::chrono::milliseconds(100);
constexpr uint8_t kIn = 0x81, kOut = 0x01;

// usbredir numbers endpoints 0-15 OUT and 16-31 IN
int ep_index(uint8_t ep) {
    return ((ep & 0x80) >> 3) | (ep & 0x0f);
}

struct Packet {
    uint64_t id;
    usb_redir_bulk_packet_header head;
};

uint32_t bulk_length(const usb_redir_bulk_packet_header& h) {
    return h.length | static_cast<uint32_t>(h.length_high) << 16;
}

class RedirectedDevice {
  public:
    RedirectedDevice(int fd, const devsim::DeviceConfig& cfg, devsim::Storage& storage,
                     devsim::Transcript& transcript)
        : fd_(fd), core_(cfg, storage, transcript), desc_(support::device_desc(cfg)) {
        parser_ = usbredirparser_create();
        parser_->priv = this;
        parser_->log_func = [](void*, int level, const char* msg) {
            if (level <= usbredirparser_warning) std::fprintf(stderr, "usbredir: %s\n", msg);
        };
        parser_->read_func = [](void* p, uint8_t* data, int count) {
            return self(p)->read(data, count);
        };
        parser_->write_func = [](void* p, uint8_t* data, int count) {
            return self(p)->write(data, count);
        };
        parser_->hello_func = [](void* p, usb_redir_hello_header*) { self(p)->hello(); };
        parser_->reset_func = [](void* p) { self(p)->reset(); };
        parser_->set_configuration_func = [](void* p, uint64_t id,
                                             usb_redir_set_configuration_header* h) {
            self(p)->configured_ = true;
            usb_redir_configuration_status_header st{usb_redir_success, h->configuration};
            usbredirparser_send_configuration_status(self(p)->parser_, id, &st);
        };
        parser_->get_configuration_func = [](void* p, uint64_t id) {
            usb_redir_configuration_status_header st{usb_redir_success, 1};
            usbredirparser_send_configuration_status(self(p)->parser_, id, &st);
        };
        parser_->set_alt_setting_func = [](void* p, uint64_t id,
                                           usb_redir_set_alt_setting_header* h) {
            usb_redir_alt_setting_status_header st{usb_redir_success, h->interface, h->alt};
            usbredirparser_send_alt_setting_status(self(p)->parser_, id, &st);
        };
        parser_->get_alt_setting_func = [](void* p, uint64_t id,
                                           usb_redir_get_alt_setting_header* h) {
            usb_redir_alt_setting_status_header st{usb_redir_success, h->interface, 0};
            usbredirparser_send_alt_setting_status(self(p)->parser_, id, &st);
        };
        parser_->control_packet_func = [](void* p, uint64_t id, usb_redir_control_packet_header* h,
                                          uint8_t* data, int len) {
            self(p)->control(id, *h);
            usbredirparser_free_packet_data(self(p)->parser_, data);
            static_cast<void>(len);
        };
        parser_->bulk_packet_func = [](void* p, uint64_t id, usb_redir_bulk_packet_header* h,
                                       uint8_t* data, int len) {
            self(p)->bulk(id, *h, data, len);
            usbredirparser_free_packet_data(self(p)->parser_, data);
        };
        parser_->cancel_data_packet_func = [](void* p, uint64_t id) { self(p)->cancel(id); };

        uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
        for (int cap : {usb_redir_cap_connect_device_version, usb_redir_cap_ep_info_max_packet_size,
                        usb_redir_cap_64bits_ids, usb_redir_cap_32bits_bulk_length}) {
            usbredirparser_caps_set_cap(caps, cap);
        }
        usbredirparser_init(parser_, "tessaro devsim", caps, USB_REDIR_CAPS_SIZE,
                            usbredirparser_fl_usb_host);
    }
    RedirectedDevice(const RedirectedDevice&) = delete;
    RedirectedDevice& operator=(const RedirectedDevice&) = delete;
    ~RedirectedDevice() { usbredirparser_destroy(parser_); }

    // Serves the VM until it closes the socket.
    void run() {
        while (!ended_) {
            pollfd pfd{fd_, POLLIN, 0};
            if (usbredirparser_has_data_to_write(parser_) != 0) pfd.events |= POLLOUT;
            int timeout = -1;
            if (auto t = next_time()) {
                const auto ms =
                    std::chrono::ceil<std::chrono::milliseconds>(*t - Clock::now()).count();
                timeout = static_cast<int>(std::max<long long>(ms, 0));
            }
            if (::poll(&pfd, 1, timeout) < 0 && errno != EINTR) break;
            if ((pfd.revents & (POLLIN | POLLHUP | POLLERR)) != 0 &&
                usbredirparser_do_read(parser_) != 0) {
                break;
            }
            on_time();
            if (usbredirparser_has_data_to_write(parser_) != 0 &&
                usbredirparser_do_write(parser_) != 0) {
                break;
            }
        }
    }

  private:
    static RedirectedDevice* self(void* p) { return static_cast<RedirectedDevice*>(p); }

    int read(uint8_t* data, int count) {
        const ssize_t n = ::recv(fd_, data, static_cast<size_t>(count), 0);
        if (n > 0) return static_cast<int>(n);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
        ended_ = true;  // the VM closed its end
        return -1;
    }

    int write(uint8_t* data, int count) {
        const ssize_t n = ::send(fd_, data, static_cast<size_t>(count), MSG_NOSIGNAL);
        if (n >= 0) return static_cast<int>(n);
        if (errno == EAGAIN || errno == EINTR) return 0;
        ended_ = true;
        return -1;
    }

    void hello() {
        connect_at_ = Clock::now() + std::chrono::milliseconds(core_.config().appear_after_ms);
    }

    std::optional<Clock::time_point> next_time() const {
        std::optional<Clock::time_point> t = connect_at_;
        if (on_bus_ && hold_until_ && (!t || *hold_until_ < *t)) t = hold_until_;
        return t;
    }

    void on_time() {
        if (connect_at_ && Clock::now() >= *connect_at_) connect();
        if (on_bus_ && hold_until_ && Clock::now() >= *hold_until_) pump();
    }

    // The device arrives on the guest's bus: its interface and endpoints first, then the
    // device itself.
    void connect() {
        connect_at_.reset();
        if (returning_) core_.back();
        returning_ = false;
        on_bus_ = true;
        configured_ = false;
        halted_.clear();

        const support::InterfaceSpec& ifc = desc_.interfaces.at(0);
        usb_redir_interface_info_header info{};
        info.interface_count = 1;
        info.interface_class[0] = ifc.cls;
        info.interface_subclass[0] = ifc.subclass;
        info.interface_protocol[0] = ifc.protocol;
        usbredirparser_send_interface_info(parser_, &info);

        usb_redir_ep_info_header eps{};
        std::memset(eps.type, usb_redir_type_invalid, sizeof eps.type);
        eps.type[0] = eps.type[16] = usb_redir_type_control;
        eps.max_packet_size[0] = eps.max_packet_size[16] = 64;
        if (ifc.endpoints >= 1) eps.type[ep_index(kIn)] = usb_redir_type_bulk;
        if (ifc.endpoints >= 2) eps.type[ep_index(kOut)] = usb_redir_type_bulk;
        eps.max_packet_size[ep_index(kIn)] = eps.max_packet_size[ep_index(kOut)] =
            support::kBulkPacket;
        usbredirparser_send_ep_info(parser_, &eps);

        usb_redir_device_connect_header dev{};
        dev.speed = usb_redir_speed_high;
        dev.vendor_id = desc_.vendor;
        dev.product_id = desc_.product;
        dev.device_version_bcd = 0x0100;
        usbredirparser_send_device_connect(parser_, &dev);
    }

    // A port reset: the device drops what it was in the middle of, and what it had still to
    // say (a command it acknowledged is carried out).
    void reset() {
        // the guest's kernel resets a device it has just found before configuring it; a reset
        // of a configured device is asked for by a program (libusb's reset), and is told
        if (configured_) std::fprintf(stderr, "devsim_usbredir: reset by the host\n");
        configured_ = false;
        halted_.clear();
        drop_output();
        core_.host_left();
    }

    void drop_output() {
        auto& out = core_.output();
        while (!out.empty()) {
            const devsim::OutputKind kind = out.front().kind;
            out.pop_front();
            if (kind == devsim::OutputKind::Work) core_.run_pending();
        }
    }

    void control(uint64_t id, usb_redir_control_packet_header h) {
        const uint8_t setup[8] = {h.requesttype,
                                  h.request,
                                  static_cast<uint8_t>(h.value),
                                  static_cast<uint8_t>(h.value >> 8),
                                  static_cast<uint8_t>(h.index),
                                  static_cast<uint8_t>(h.index >> 8),
                                  static_cast<uint8_t>(h.length),
                                  static_cast<uint8_t>(h.length >> 8)};
        std::string reply;
        h.status = usb_redir_success;
        if ((h.requesttype & 0x80) != 0) {
            auto r = support::standard_request(desc_, setup);
            if (r) {
                reply = *r;
            } else {
                h.status = usb_redir_stall;
            }
        } else if (h.requesttype == 0x02 && h.request == 1 && h.value == 0) {
            halted_.erase(static_cast<uint8_t>(h.index));  // CLEAR_FEATURE(ENDPOINT_HALT)
        } else {
            h.status = usb_redir_stall;
        }
        h.length = static_cast<uint16_t>(reply.size());
        usbredirparser_send_control_packet(
            parser_, id, &h, reply.empty() ? nullptr : reinterpret_cast<uint8_t*>(reply.data()),
            static_cast<int>(reply.size()));
    }

    void answer(const Packet& p, uint8_t status, uint32_t length, const std::string& data = {}) {
        usb_redir_bulk_packet_header h = p.head;
        h.status = status;
        h.length = static_cast<uint16_t>(length);
        h.length_high = static_cast<uint16_t>(length >> 16);
        // an OUT transfer's answer carries no data, not even an empty buffer
        auto* bytes =
            data.empty() ? nullptr : reinterpret_cast<uint8_t*>(const_cast<char*>(data.data()));
        usbredirparser_send_bulk_packet(parser_, p.id, &h, bytes, static_cast<int>(data.size()));
    }

    void bulk(uint64_t id, const usb_redir_bulk_packet_header& h, const uint8_t* data, int len) {
        const Packet p{id, h};
        if (!on_bus_) return;  // the VM drops what it had queued for a device that left
        if ((h.endpoint != kIn && h.endpoint != kOut) || halted_.contains(h.endpoint)) {
            answer(p, usb_redir_stall, 0);
            return;
        }
        if (h.endpoint == kIn) {
            // a status packet is answered when the device has one
            pending_in_.push_back(p);
        } else {
            const auto n = static_cast<uint32_t>(len);
            std::span<uint8_t> into = core_.transfer_buffer(n);
            if (n > 0) std::memcpy(into.data(), data, n);
            pending_out_.push_back(p);
            core_.transfer_done(n);
        }
        pump();
    }

    // A transfer the guest gives up on (its timeout) comes back cancelled.
    void cancel(uint64_t id) {
        for (auto* q : {&pending_in_, &pending_out_}) {
            for (auto it = q->begin(); it != q->end(); ++it) {
                if (it->id != id) continue;
                std::fprintf(stderr, "devsim_usbredir: transfer on endpoint %02x cancelled\n",
                             it->head.endpoint);
                answer(*it, usb_redir_cancelled, 0);
                q->erase(it);
                return;
            }
        }
    }

    // Turns the core's output into completed transfers, as far as pauses and the guest's IN
    // requests allow.
    void pump() {
        support::pump_output(
            core_, on_bus_, hold_until_,
            {.ack =
                 [this](uint32_t taken) {
                     if (pending_out_.empty()) return;
                     answer(pending_out_.front(), usb_redir_success, taken);
                     pending_out_.pop_front();
                 },
             .status =
                 [this](const std::string& packet) {
                     if (pending_in_.empty()) return false;
                     const Packet p = pending_in_.front();
                     pending_in_.pop_front();
                     const std::string data = packet.substr(0, bulk_length(p.head));
                     answer(p, usb_redir_success, static_cast<uint32_t>(data.size()), data);
                     return true;
                 },
             .leave = [this](uint32_t away_ms) { leave(away_ms); }});
    }

    // Off the guest's bus: the VM ends what was in flight itself; a command already
    // acknowledged is still carried out. The device comes back as a new device.
    void leave(uint32_t away_ms) {
        on_bus_ = false;
        pending_in_.clear();
        pending_out_.clear();
        drop_output();
        core_.host_left();
        hold_until_.reset();
        usbredirparser_send_device_disconnect(parser_);
        returning_ = true;
        connect_at_ = Clock::now() + (away_ms == 0 ? std::chrono::milliseconds(kVanishGap)
                                                   : std::chrono::milliseconds(away_ms));
    }

    int fd_;
    usbredirparser* parser_ = nullptr;
    devsim::Bootloader core_;
    support::DeviceDesc desc_;
    bool ended_ = false;
    bool on_bus_ = false;
    bool returning_ = false;
    bool configured_ = false;  // since it came on the bus, or since its last reset
    std::optional<Clock::time_point> connect_at_;
    std::optional<Clock::time_point> hold_until_;
    std::deque<Packet> pending_in_, pending_out_;
    std::set<uint8_t> halted_;
};

// Connects to the VM's socket, waiting for it to be made.
int connect_to(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return -1;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    for (int tries = 0; tries < 600; ++tries) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) return -1;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
        ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: devsim_usbredir SOCKET [--transcript FILE] [--storage DIR] "
                     "--device NAME [device options]\n");
        return 2;
    }
    // the device options are tessaro-devsim's; its socket directory is not used here
    std::vector<std::string> args = {"--dir", "."};
    args.insert(args.end(), argv + 2, argv + argc);
    devsim::ParsedOptions parsed = devsim::parse_options(args);
    if (!parsed.config || parsed.config->devices.size() != 1) {
        std::fprintf(stderr, "devsim_usbredir: %s\n",
                     parsed.config ? "exactly one --device" : parsed.error.c_str());
        return 2;
    }
    const devsim::SimConfig& sim = *parsed.config;
    const devsim::DeviceConfig& cfg = sim.devices[0];

    devsim::Transcript transcript;
    if (!sim.transcript.empty() && !transcript.open(sim.transcript)) {
        std::fprintf(stderr, "devsim_usbredir: cannot create %s\n", sim.transcript.c_str());
        return 1;
    }
    std::unique_ptr<devsim::Storage> storage;
    if (sim.storage.empty()) {
        storage = std::make_unique<devsim::MemoryStorage>();
    } else {
        const std::filesystem::path dir = std::filesystem::path(sim.storage) / cfg.name;
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        storage = std::make_unique<devsim::DirStorage>(dir);
    }

    const int fd = connect_to(argv[1]);
    if (fd < 0) {
        std::fprintf(stderr, "devsim_usbredir: cannot connect to %s: %s\n", argv[1],
                     std::strerror(errno));
        return 1;
    }
    RedirectedDevice dev(fd, cfg, *storage, transcript);
    dev.run();
    ::close(fd);
    return 0;
}
