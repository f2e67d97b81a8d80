// The event loop: one poll for the listening sockets and host links of all devices, the
// devices' timers (a reboot's absence, a pause, the rate limit), and the core's output turned
// into frames and link events.
#include "devsim/socket_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>

#include "base/unique_fd.h"
#include "console/console.h"
#include "devsim/bootloader.h"
#include "devsim/host_link.h"
#include "devsim/posix_shims.h"
#include "devsim/storage.h"
#include "devsim/transcript.h"

namespace devsim {

namespace {

using Clock = LinkClock;
namespace fs = std::filesystem;

}  // namespace

struct SocketServer::Device {
    std::unique_ptr<Storage> storage;
    std::optional<Bootloader> core;
    std::string name;
    std::string path;                        // the socket's path, or its TCP address
    std::optional<simlink::TcpAddress> tcp;  // set when the device listens on TCP
    base::unique_fd listener;
    std::optional<Clock::time_point> appear_at;  // set while the socket is absent
    bool returning = false;                      // the absence is a reboot, not the first start
    uint32_t reboots = 0;                        // reboots the device has begun
    // plugged in when this device begins its reboot number `plug_at_reboot`
    const Device* plug_with = nullptr;
    uint32_t plug_at_reboot = 0;
    HostLink link;
    LinkPace pace;
};

struct SocketServer::State {
    SimConfig config;
    Transcript transcript;
    std::vector<std::unique_ptr<Device>> devices;
    base::unique_fd stop_read, stop_write;
    bool stopping = false;

    // each step works on one device and needs nothing else of the server
    static std::string make_socket(Device& d);
    static std::string make_tcp_listener(Device& d);
    static void remove_socket(Device& d);
    static void accept_host(Device& d);
    static void read_host(Device& d);
    static void drop_host(Device& d);
    static void pump(Device& d);
    static bool flush(Device& d);
    static std::optional<Clock::time_point> deadline(const Device& d);
    static void on_time(Device& d, Clock::time_point now);
    static void plug_in(Device& d);
};

SocketServer::SocketServer(SimConfig config) : state_(std::make_unique<State>()) {
    state_->config = std::move(config);
}

SocketServer::~SocketServer() {
    for (auto& d : state_->devices) State::remove_socket(*d);
}

std::string SocketServer::start() {
    State& s = *state_;
    int p[2];
    if (make_pipe(p) != 0) {
        return std::string("pipe: ") + std::strerror(errno);
    }
    s.stop_read.reset(p[0]);
    s.stop_write.reset(p[1]);

    std::error_code ec;
    if (!s.config.listen) {
        fs::create_directories(s.config.dir, ec);
        if (ec) return "cannot create " + s.config.dir + ": " + ec.message();
    }
    if (!s.config.storage.empty()) {
        fs::create_directories(s.config.storage, ec);
        if (ec) return "cannot create " + s.config.storage + ": " + ec.message();
    }
    if (!s.config.transcript.empty() && !s.transcript.open(s.config.transcript)) {
        return "cannot create " + s.config.transcript + ": " + std::strerror(errno);
    }

    const auto now = Clock::now();
    for (auto& cfg : s.config.devices) {
        auto d = std::make_unique<Device>();
        d->name = cfg.name;
        if (s.config.listen) {
            d->tcp = s.config.listen;
            if (d->tcp->port != 0) {
                const unsigned port = d->tcp->port + s.devices.size();
                if (port > 65535) return "no port left for device " + cfg.name;
                d->tcp->port = static_cast<uint16_t>(port);
            }
            d->path = simlink::format_address(*d->tcp);
        } else {
            d->path = (fs::path(s.config.dir) / cfg.name).string();
        }
        d->pace = LinkPace(s.config.rate);
        if (s.config.storage.empty()) {
            d->storage = std::make_unique<MemoryStorage>();
        } else {
            d->storage = std::make_unique<DirStorage>(fs::path(s.config.storage) / cfg.name);
        }
        const uint32_t appear_ms = cfg.appear_after_ms;
        d->core.emplace(cfg, *d->storage, s.transcript);
        if (!cfg.appear_at_reboot_of.empty()) {
            d->plug_at_reboot = cfg.appear_at_reboot_count;
            // a free port is chosen now, so that the address can be told at once
            if (d->tcp && d->tcp->port == 0) {
                if (auto err = State::make_socket(*d); !err.empty()) return err;
                d->listener.reset();
            }
        } else if (appear_ms > 0) {
            d->appear_at = now + std::chrono::milliseconds(appear_ms);
            // a free port is chosen now, so that the address can be told at once
            if (d->tcp && d->tcp->port == 0) {
                if (auto err = State::make_socket(*d); !err.empty()) return err;
                d->listener.reset();
                d->appear_at = now + std::chrono::milliseconds(appear_ms);
            }
        } else if (auto err = State::make_socket(*d); !err.empty()) {
            return err;
        }
        s.devices.push_back(std::move(d));
    }
    for (size_t i = 0; i < s.devices.size(); ++i) {
        const std::string& other = s.config.devices[i].appear_at_reboot_of;
        for (const auto& d : s.devices) {
            if (!other.empty() && d->name == other) s.devices[i]->plug_with = d.get();
        }
    }
    return {};
}

void SocketServer::request_stop() {
    if (!state_->stop_write) return;
    // write() is safe in a signal handler; a full pipe already holds a stop request
    ssize_t n = ::write(state_->stop_write.get(), "s", 1);
    static_cast<void>(n);
}

std::vector<std::pair<std::string, std::string>> SocketServer::addresses() const {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& d : state_->devices) {
        if (d->tcp) out.emplace_back(d->name, d->path);
    }
    return out;
}

// The port stays the device's across its reboots: the first bind of port 0 picks it.
std::string SocketServer::State::make_tcp_listener(Device& d) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(d.tcp->port);
    std::memcpy(&addr.sin_addr, d.tcp->ipv4, sizeof d.tcp->ipv4);
    base::unique_fd fd(make_listener(AF_INET));
    if (!fd) return std::string("socket: ") + std::strerror(errno);
    // a device back from a reboot binds its port again while the old links linger
    int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    socklen_t len = sizeof addr;
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd.get(), 16) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        return "cannot listen on " + d.path + ": " + std::strerror(errno);
    }
    d.tcp->port = ntohs(addr.sin_port);
    d.path = simlink::format_address(*d.tcp);
    d.listener = std::move(fd);
    d.appear_at.reset();
    return {};
}

std::string SocketServer::State::make_socket(Device& d) {
    if (d.tcp) return make_tcp_listener(d);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (d.path.size() >= sizeof addr.sun_path) return "socket path too long: " + d.path;
    std::memcpy(addr.sun_path, d.path.c_str(), d.path.size() + 1);

    struct stat st {};
    if (::lstat(d.path.c_str(), &st) == 0) {
        // a socket left by an earlier run that was killed is replaced; anything else is not ours
        if (!S_ISSOCK(st.st_mode)) return d.path + " exists and is not a socket";
        ::unlink(d.path.c_str());
    }
    base::unique_fd fd(make_listener(AF_UNIX));
    if (!fd) return std::string("socket: ") + std::strerror(errno);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd.get(), 16) != 0) {
        return "cannot listen on " + d.path + ": " + std::strerror(errno);
    }
    d.listener = std::move(fd);
    d.appear_at.reset();
    return {};
}

void SocketServer::State::remove_socket(Device& d) {
    if (!d.listener) return;
    d.listener.reset();
    if (!d.tcp) ::unlink(d.path.c_str());
}

void SocketServer::State::accept_host(Device& d) {
    for (;;) {
        base::unique_fd fd(accept_connection(d.listener.get()));
        if (!fd) return;
        // A host that closed its link and connected again at once may be back before its
        // hang-up has been seen: the old link is finished first, as its own events would.
        if (d.link.connected() && d.link.hung_up()) {
            read_host(d);
            if (d.link.connected()) drop_host(d);
            if (!d.listener) return;  // that finished a reboot: the device is away
        }
        // one host at a time: a second one is closed at once, like a claimed interface
        if (d.link.connected()) continue;
        if (d.tcp) {
            // a status packet is small and waited for: it must not wait for the next one
            int one = 1;
            ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        }
        d.link = HostLink(std::move(fd));
        d.link.send_descriptors(d.core->config());
        flush(d);
    }
}

// Reads what the host sent, straight into where the core wants it, until a whole transfer has
// arrived (then the core has something to say and reading waits until that is out).
void SocketServer::State::read_host(Device& d) {
    HostLink& l = d.link;
    while (l.connected() && d.core->output().empty()) {
        switch (l.receive()) {
            case HostLink::Received::Nothing:
                return;
            case HostLink::Received::Ended:
                drop_host(d);
                return;
            case HostLink::Received::Header:
                l.read_payload_into(d.core->transfer_buffer(l.payload_length()));
                break;
            case HostLink::Received::Bytes:
                break;
        }
        if (auto t = l.take_transfer()) {
            d.pace.carried(*t);
            d.core->transfer_done(t->length);
            pump(d);
        }
    }
}

// The host went away (or broke the link): what was on its way to it is dropped, but a reboot
// the device had begun still happens.
void SocketServer::State::drop_host(Device& d) {
    // a rebooting device's socket is gone before the host sees the link close
    auto& out = d.core->output();
    while (!out.empty()) {
        Output o = std::move(out.front());
        out.pop_front();
        if (o.kind == OutputKind::Work) {
            // an acknowledged command is carried out even when nobody waits for its answer
            d.core->run_pending();
        } else if (o.kind == OutputKind::Vanish) {
            d.core->back();
        } else if (o.kind == OutputKind::Reboot) {
            ++d.reboots;
            remove_socket(d);
            d.appear_at = Clock::now() + std::chrono::milliseconds(o.value);
            d.returning = true;
        }
    }
    d.link = HostLink{};
    d.core->host_left();
}

// Turns the core's output into frames and link events, as far as pauses and the rate allow.
void SocketServer::State::pump(Device& d) {
    auto& out = d.core->output();
    HostLink& l = d.link;
    while (!out.empty() && l.connected()) {
        const auto now = Clock::now();
        if (l.hold_until && now < *l.hold_until) break;
        l.hold_until.reset();
        Output& o = out.front();
        switch (o.kind) {
            case OutputKind::Ack: {
                if (auto busy = d.pace.busy_until(now)) {
                    l.hold_until = busy;
                    continue;
                }
                l.send_count(o.value);
                d.pace.acked(now);
                break;
            }
            case OutputKind::Status:
                l.send_status(o.packet);
                break;
            case OutputKind::Work:
                // the acknowledgement leaves before the command's work starts
                out.pop_front();
                flush(d);
                if (!l.connected()) return;
                d.core->run_pending();
                continue;
            case OutputKind::Pause:
                l.hold_until = now + std::chrono::milliseconds(o.value);
                out.pop_front();
                continue;
            case OutputKind::Vanish:
            case OutputKind::Reboot:
                // what was said before leaving reaches the host first
                if (!flush(d)) return;
                drop_host(d);
                return;
        }
        out.pop_front();
    }
    flush(d);
}

// Sends what is pending; true when nothing is left.
bool SocketServer::State::flush(Device& d) {
    switch (d.link.send_pending()) {
        case HostLink::Sent::All:
            return true;
        case HostLink::Sent::Blocked:
            return false;
        case HostLink::Sent::Broken:
            drop_host(d);
            return true;
    }
    return true;
}

std::optional<Clock::time_point> SocketServer::State::deadline(const Device& d) {
    std::optional<Clock::time_point> t = d.appear_at;
    if (d.link.connected() && d.link.hold_until && (!t || *d.link.hold_until < *t)) {
        t = d.link.hold_until;
    }
    return t;
}

void SocketServer::State::on_time(Device& d, Clock::time_point now) {
    if (d.appear_at && now >= *d.appear_at) {
        if (auto err = make_socket(d); !err.empty()) {
            con_err("tessaro-devsim: %s\n", err.c_str());
            d.appear_at = now + std::chrono::seconds(1);
        } else if (d.returning) {
            d.returning = false;
            d.core->back();
        }
    }
    if (d.link.connected() && d.link.hold_until && now >= *d.link.hold_until) pump(d);
}

void SocketServer::run() {
    State& s = *state_;
    std::vector<pollfd> fds;
    std::vector<std::pair<Device*, bool>> owners;  // device, and whether the entry is its link
    while (!s.stopping) {
        fds.clear();
        owners.clear();
        fds.push_back({s.stop_read.get(), POLLIN, 0});
        owners.emplace_back(nullptr, false);
        std::optional<Clock::time_point> next;
        for (auto& d : s.devices) {
            if (d->listener) {
                fds.push_back({d->listener.get(), POLLIN, 0});
                owners.emplace_back(d.get(), false);
            }
            if (d->link.connected()) {
                short ev = 0;
                if (d->core->output().empty()) ev |= POLLIN;
                if (!d->link.flushed()) ev |= POLLOUT;
                fds.push_back({d->link.fd(), ev, 0});
                owners.emplace_back(d.get(), true);
            }
            auto t = State::deadline(*d);
            if (t && (!next || *t < *next)) next = t;
        }
        int n = wait_for_events(fds, next);
        if (n < 0 && errno != EINTR) break;
        if (n > 0) {
            for (size_t i = 0; i < fds.size(); ++i) {
                const short re = fds[i].revents;
                if (re == 0) continue;
                auto [d, is_link] = owners[i];
                if (d == nullptr) {
                    s.stopping = true;
                    break;
                }
                if (!is_link) {
                    if (d->listener.get() == fds[i].fd) State::accept_host(*d);
                    continue;
                }
                if (d->link.fd() != fds[i].fd) continue;  // dropped earlier in this round
                const bool readable = (re & POLLIN) != 0;
                if ((re & POLLOUT) != 0) State::pump(*d);
                if (d->link.connected() && readable) State::read_host(*d);
                if (d->link.connected() && (re & (POLLHUP | POLLERR)) != 0 && !readable) {
                    State::drop_host(*d);
                }
            }
        }
        const auto now = Clock::now();
        for (auto& d : s.devices) State::on_time(*d, now);
        for (auto& d : s.devices) State::plug_in(*d);
    }
}

// A device plugged in when another reboots appears then, and stays.
void SocketServer::State::plug_in(Device& d) {
    if (d.plug_with == nullptr || d.plug_with->reboots < d.plug_at_reboot) return;
    d.plug_with = nullptr;
    if (auto err = make_socket(d); !err.empty()) {
        con_err("tessaro-devsim: %s\n", err.c_str());
        d.appear_at = Clock::now() + std::chrono::seconds(1);
    }
}

}  // namespace devsim
