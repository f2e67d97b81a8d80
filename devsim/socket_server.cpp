#include "devsim/socket_server.h"

#include <fcntl.h>
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
#include <span>

#include "console/console.h"
#include "devsim/bootloader.h"
#include "devsim/storage.h"
#include "devsim/transcript.h"
#include "devsim/unique_fd.h"
#include "simlink/wire.h"

// The calls that make descriptors non-blocking and close-on-exec in one step are Linux's; on
// other hosts (macOS) the flags are set after the descriptor is made.
#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0
#endif

namespace {

#ifndef __linux__
bool set_nonblocking_cloexec(int fd) {
    int fl = ::fcntl(fd, F_GETFL);
    return fl >= 0 && ::fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0 &&
           ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}
#endif

int make_pipe(int p[2]) {
#ifdef __linux__
    return ::pipe2(p, O_NONBLOCK | O_CLOEXEC);
#else
    if (::pipe(p) != 0) return -1;
    return set_nonblocking_cloexec(p[0]) && set_nonblocking_cloexec(p[1]) ? 0 : -1;
#endif
}

int make_listener() {
#ifdef __linux__
    return ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
#else
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd >= 0 && !set_nonblocking_cloexec(fd)) {
        ::close(fd);
        return -1;
    }
    return fd;
#endif
}

int accept_host_fd(int listener) {
#ifdef __linux__
    return ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
#else
    int fd = ::accept(listener, nullptr, nullptr);
    if (fd >= 0) {
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
        if (!set_nonblocking_cloexec(fd)) {
            ::close(fd);
            return -1;
        }
    }
    return fd;
#endif
}

// The host has closed its end of the link; what it sent before that may still be unread.
bool host_hung_up(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) return false;
    if (p.revents & (POLLHUP | POLLERR)) return true;
    char c;
    return (p.revents & POLLIN) && ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

}  // namespace

namespace devsim {

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// the host's end of one connection
struct Link {
    UniqueFd fd;
    unsigned char header[simlink::kHeaderSize] = {};
    size_t header_got = 0;
    std::optional<uint32_t> payload_len;  // set while a W frame's payload is being read
    std::span<uint8_t> payload;
    size_t payload_got = 0;
    Clock::time_point payload_since;  // when its header arrived
    std::string out;                  // frames not yet sent
    size_t out_sent = 0;
    std::optional<Clock::time_point> hold_until;  // nothing goes out before this

    bool flushed() const { return out_sent == out.size(); }
};

}  // namespace

struct SocketServer::Device {
    std::unique_ptr<Storage> storage;
    std::optional<Bootloader> core;
    std::string name;
    std::string path;
    UniqueFd listener;
    std::optional<Clock::time_point> appear_at;  // set while the socket is absent
    bool returning = false;                      // the absence is a reboot, not the first start
    Link link;
    Clock::time_point link_free{};  // the rate-limited link is busy until then
};

struct SocketServer::State {
    SimConfig config;
    Transcript transcript;
    std::vector<std::unique_ptr<Device>> devices;
    UniqueFd stop_read, stop_write;
    bool stopping = false;

    std::string make_socket(Device& d);
    void remove_socket(Device& d);
    void accept_host(Device& d);
    void read_host(Device& d);
    void drop_host(Device& d);
    void pump(Device& d);
    bool flush(Device& d);
    std::optional<Clock::time_point> deadline(const Device& d) const;
    void on_time(Device& d, Clock::time_point now);
};

SocketServer::SocketServer(SimConfig config) : state_(std::make_unique<State>()) {
    state_->config = std::move(config);
}

SocketServer::~SocketServer() {
    for (auto& d : state_->devices) state_->remove_socket(*d);
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
    fs::create_directories(s.config.dir, ec);
    if (ec) return "cannot create " + s.config.dir + ": " + ec.message();
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
        d->path = (fs::path(s.config.dir) / cfg.name).string();
        if (s.config.storage.empty()) {
            d->storage = std::make_unique<MemoryStorage>();
        } else {
            d->storage = std::make_unique<DirStorage>(fs::path(s.config.storage) / cfg.name);
        }
        const uint32_t appear_ms = cfg.appear_after_ms;
        d->core.emplace(cfg, *d->storage, s.transcript);
        if (appear_ms > 0) {
            d->appear_at = now + std::chrono::milliseconds(appear_ms);
        } else if (auto err = s.make_socket(*d); !err.empty()) {
            return err;
        }
        s.devices.push_back(std::move(d));
    }
    return {};
}

void SocketServer::request_stop() {
    if (!state_->stop_write) return;
    // write() is safe in a signal handler; a full pipe already holds a stop request
    ssize_t n = ::write(state_->stop_write.get(), "s", 1);
    static_cast<void>(n);
}

std::string SocketServer::State::make_socket(Device& d) {
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
    UniqueFd fd(make_listener());
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
    ::unlink(d.path.c_str());
}

void SocketServer::State::accept_host(Device& d) {
    for (;;) {
        UniqueFd fd(accept_host_fd(d.listener.get()));
        if (!fd) return;
        // A host that closed its link and connected again at once may be back before its
        // hang-up has been seen: the old link is finished first, as its own events would.
        if (d.link.fd && host_hung_up(d.link.fd.get())) {
            read_host(d);
            if (d.link.fd) drop_host(d);
            if (!d.listener) return;  // that finished a reboot: the device is away
        }
        // one host at a time: a second one is closed at once, like a claimed interface
        if (d.link.fd) continue;
        d.link = Link{};
        d.link.fd = std::move(fd);
        const DeviceConfig& cfg = d.core->config();
        std::string payload;
        auto dd = device_descriptor(cfg);
        auto id = interface_descriptor(cfg);
        payload.append(reinterpret_cast<const char*>(dd.data()), dd.size());
        payload.append(reinterpret_cast<const char*>(id.data()), id.size());
        if (cfg.serial_readable) payload += cfg.serial;
        d.link.out = simlink::encode_frame(simlink::kDescriptors, payload);
        flush(d);
    }
}

// Reads what the host sent, straight into where the core wants it, until a whole transfer has
// arrived (then the core has something to say and reading waits until that is out).
void SocketServer::State::read_host(Device& d) {
    Link& l = d.link;
    while (l.fd && d.core->output().empty()) {
        ssize_t n;
        if (!l.payload_len) {
            n = ::recv(l.fd.get(), l.header + l.header_got, sizeof l.header - l.header_got, 0);
        } else {
            n = ::recv(l.fd.get(), l.payload.data() + l.payload_got,
                       l.payload.size() - l.payload_got, 0);
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n <= 0) {
            drop_host(d);
            return;
        }
        if (!l.payload_len) {
            l.header_got += static_cast<size_t>(n);
            if (l.header_got < sizeof l.header) continue;
            l.header_got = 0;
            const simlink::Header h = simlink::decode_header(l.header);
            const uint32_t len = h.length;
            if (h.kind != simlink::kWrite || len > simlink::kMaxPayload) {
                // not a host speaking this link
                drop_host(d);
                return;
            }
            l.payload_len = len;
            l.payload = d.core->transfer_buffer(len);
            l.payload_got = 0;
            if (config.rate > 0) l.payload_since = Clock::now();
        } else {
            l.payload_got += static_cast<size_t>(n);
        }
        if (l.payload_got == l.payload.size()) {
            const uint32_t len = *l.payload_len;
            l.payload_len.reset();
            if (config.rate > 0) {
                auto cost =
                    std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                        static_cast<double>(len) / static_cast<double>(config.rate)));
                // the link carries one transfer after another at the rate, idle in between
                d.link_free = std::max(d.link_free, l.payload_since) + cost;
            }
            d.core->transfer_done(len);
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
            remove_socket(d);
            d.appear_at = Clock::now() + std::chrono::milliseconds(o.value);
            d.returning = true;
        }
    }
    d.link = Link{};
    d.core->host_left();
}

// Turns the core's output into frames and link events, as far as pauses and the rate allow.
void SocketServer::State::pump(Device& d) {
    auto& out = d.core->output();
    Link& l = d.link;
    while (!out.empty() && l.fd) {
        const auto now = Clock::now();
        if (l.hold_until && now < *l.hold_until) break;
        l.hold_until.reset();
        Output& o = out.front();
        switch (o.kind) {
            case OutputKind::Ack: {
                if (config.rate > 0 && now < d.link_free) {
                    l.hold_until = d.link_free;
                    continue;
                }
                l.out += simlink::encode_frame(simlink::kAck, simlink::encode_count(o.value));
                break;
            }
            case OutputKind::Status:
                l.out += simlink::encode_frame(simlink::kRead, o.packet);
                break;
            case OutputKind::Work:
                // the acknowledgement leaves before the command's work starts
                out.pop_front();
                flush(d);
                if (!l.fd) return;
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
    Link& l = d.link;
    while (l.fd && !l.flushed()) {
        ssize_t n =
            ::send(l.fd.get(), l.out.data() + l.out_sent, l.out.size() - l.out_sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
        if (n < 0) {
            drop_host(d);
            return true;
        }
        l.out_sent += static_cast<size_t>(n);
    }
    l.out.clear();
    l.out_sent = 0;
    return true;
}

std::optional<Clock::time_point> SocketServer::State::deadline(const Device& d) const {
    std::optional<Clock::time_point> t = d.appear_at;
    if (d.link.fd && d.link.hold_until && (!t || *d.link.hold_until < *t)) t = d.link.hold_until;
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
    if (d.link.fd && d.link.hold_until && now >= *d.link.hold_until) pump(d);
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
            if (d->link.fd) {
                short ev = 0;
                if (d->core->output().empty()) ev |= POLLIN;
                if (!d->link.flushed()) ev |= POLLOUT;
                fds.push_back({d->link.fd.get(), ev, 0});
                owners.emplace_back(d.get(), true);
            }
            auto t = s.deadline(*d);
            if (t && (!next || *t < *next)) next = t;
        }
        timespec wait{};
        if (next) {
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(*next - Clock::now());
            ns = std::max(ns, std::chrono::nanoseconds(0));
            wait.tv_sec = static_cast<time_t>(ns.count() / 1000000000);
            wait.tv_nsec = static_cast<long>(ns.count() % 1000000000);
        }
        // to the microsecond, so a rate limit is kept closely
        int n = ::ppoll(fds.data(), fds.size(), next ? &wait : nullptr, nullptr);
        if (n < 0 && errno != EINTR) break;
        if (n > 0) {
            for (size_t i = 0; i < fds.size(); ++i) {
                const short re = fds[i].revents;
                if (re == 0) continue;
                auto [d, is_link] = owners[i];
                if (!d) {
                    s.stopping = true;
                    break;
                }
                if (!is_link) {
                    if (d->listener.get() == fds[i].fd) s.accept_host(*d);
                    continue;
                }
                if (d->link.fd.get() != fds[i].fd) continue;  // dropped earlier in this round
                if (re & POLLOUT) s.pump(*d);
                if (d->link.fd && (re & POLLIN)) s.read_host(*d);
                if (d->link.fd && (re & (POLLHUP | POLLERR)) && !(re & POLLIN)) s.drop_host(*d);
            }
        }
        const auto now = Clock::now();
        for (auto& d : s.devices) s.on_time(*d, now);
    }
}

}  // namespace devsim
