// The simulated link: every Unix-domain socket in $TESSARO_DEVSIM_DIR is one device interface,
// spoken to in the frames of simlink/wire.h. A socket error never escapes this file: it becomes
// one of the usb_platform_error codes.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/unique_fd.h"
#include "simlink/wire.h"
#include "usb/usb_backend.h"
#include "usb/usb_platform.h"

// macOS has neither MSG_NOSIGNAL nor SOCK_CLOEXEC: there the socket itself is set not to raise
// SIGPIPE, and close-on-exec is set after it is made
#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0
#endif

namespace {

using namespace usb_backend;
using Clock = std::chrono::steady_clock;

int make_link_socket() {
#ifdef SOCK_CLOEXEC
    return ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
#else
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd >= 0) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
    }
    return fd;
#endif
}

// how long a device may take to greet a new connection, and to finish a frame it has begun
constexpr std::chrono::milliseconds kGreetingTimeout{5000};
constexpr std::chrono::milliseconds kFrameGrace{10000};
// large buffers let a 1 MiB bulk transfer cross in few system calls
constexpr int kSocketBuffer = 4 << 20;
constexpr size_t kDescriptorsSize =
    simlink::kDeviceDescriptorSize + simlink::kInterfaceDescriptorSize;
constexpr size_t kMaxSerial = 4096;

enum class Io { Ok, Timeout, Gone, Error };

// One connection to one simulated interface; its name is the socket's path.
struct Link : OpenInterface {
    base::unique_fd fd;
    std::string serial;
    bool has_serial = false;
    // once the stream is out of step or closed, every transfer reports the device gone
    bool broken = false;
    // acknowledgements of writes that timed out waiting for them; skipped when they come
    uint32_t acks_owed = 0;
    // IN transfers that arrived while a write waited for its acknowledgement
    std::deque<std::string> early_reads;

    explicit Link(int socket_fd) : fd(socket_fd) {}
};

int remaining_ms(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return 0;
    return left.count() > 0x7fffffff ? 0x7fffffff : static_cast<int>(left.count());
}

Io wait_for(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        int n = ::poll(&p, 1, remaining_ms(deadline));
        if (n > 0) return Io::Ok;
        if (n == 0) return Io::Timeout;
        if (errno != EINTR) return Io::Error;
    }
}

Io io_from_errno(int err) {
    switch (err) {
        case EPIPE:
        case ECONNRESET:
        case ENOTCONN:
            return Io::Gone;
        default:
            return Io::Error;
    }
}

// Reads exactly n bytes. Timeout only when nothing of them arrived before the deadline.
Io recv_exact(int fd, void* buf, size_t n, Clock::time_point deadline) {
    auto* p = static_cast<unsigned char*>(buf);
    size_t done = 0;
    while (done < n) {
        ssize_t r = ::recv(fd, p + done, n - done, MSG_DONTWAIT);
        if (r > 0) {
            done += static_cast<size_t>(r);
            continue;
        }
        if (r == 0) return Io::Gone;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return io_from_errno(errno);
        Io w = wait_for(fd, POLLIN, deadline);
        if (w != Io::Ok) return w;
    }
    return Io::Ok;
}

Io discard(int fd, size_t n, Clock::time_point deadline) {
    char scratch[4096];
    while (n > 0) {
        size_t part = std::min(n, sizeof scratch);
        Io r = recv_exact(fd, scratch, part, deadline);
        if (r != Io::Ok) return r;
        n -= part;
    }
    return Io::Ok;
}

// Reads a frame header. Timeout only when no byte of it came; a frame that has begun is given
// time to finish.
Io read_header(int fd, char* kind, uint32_t* len, Clock::time_point deadline) {
    unsigned char header[simlink::kHeaderSize];
    Io r = recv_exact(fd, header, 1, deadline);
    if (r != Io::Ok) return r;
    r = recv_exact(fd, header + 1, sizeof header - 1, Clock::now() + kFrameGrace);
    if (r == Io::Timeout) return Io::Error;
    if (r != Io::Ok) return r;
    const simlink::Header h = simlink::decode_header(header);
    *kind = h.kind;
    *len = h.length;
    return Io::Ok;
}

// Sends one frame: the header and the caller's bytes go out in one gather write, without a
// copy of the data. Timeout only when nothing was sent.
Io send_frame(int fd, char kind, const void* data, uint32_t len, Clock::time_point deadline) {
    unsigned char header[simlink::kHeaderSize];
    simlink::encode_header(simlink::Header{kind, len}, header);
    iovec iov[2] = {{header, sizeof header}, {const_cast<void*>(data), len}};
    size_t total = sizeof header + len;
    size_t sent = 0;
    while (sent < total) {
        // skip what has gone already
        iovec rest[2];
        int count = 0;
        if (sent < sizeof header) {
            rest[count++] = {header + sent, sizeof header - sent};
            if (len > 0) rest[count++] = iov[1];
        } else {
            size_t off = sent - sizeof header;
            rest[count++] = {static_cast<unsigned char*>(iov[1].iov_base) + off, len - off};
        }
        msghdr msg{};
        msg.msg_iov = rest;
        msg.msg_iovlen = static_cast<size_t>(count);
        // MSG_NOSIGNAL: a device that went away is an error code, never SIGPIPE
        ssize_t r = ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r >= 0) {
            sent += static_cast<size_t>(r);
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return io_from_errno(errno);
        Io w = wait_for(fd, POLLOUT, sent == 0 ? deadline : Clock::now() + kFrameGrace);
        if (w == Io::Timeout && sent > 0) return Io::Error;
        if (w != Io::Ok) return w;
    }
    return Io::Ok;
}

// A failure that leaves the stream out of step: the link is unusable from now on.
bool break_link(Link& link, Io why) {
    link.broken = true;
    return fail_with(why == Io::Gone ? USB_ERR_INVALID_HANDLE : USB_ERR_IO);
}

Link* link_of(void* handle) {
    return backend_interface<Link>(handle);
}

void* devsim_enum() {
    const char* dir = std::getenv("TESSARO_DEVSIM_DIR");
    if (dir == nullptr || *dir == '\0') {
        usb_platform_set_last_error(USB_ERR_NOT_FOUND);
        return nullptr;
    }
    std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir), ::closedir);
    if (!d) {
        usb_platform_set_last_error(USB_ERR_NOT_FOUND);
        return nullptr;
    }
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d.get())) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        struct stat st {};
        std::string path = std::string(dir) + "/" + name;
        if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) names.push_back(name);
    }
    // byte order of the file names (std::string compares as unsigned bytes)
    std::sort(names.begin(), names.end());
    for (auto& name : names) name.insert(0, std::string(dir) + "/");
    return make_enumeration(std::move(names));
}

void* devsim_create(const char* name) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    size_t name_len = std::strlen(name);
    if (name_len >= sizeof addr.sun_path) {
        usb_platform_set_last_error(USB_ERR_NOT_FOUND);
        return nullptr;
    }
    std::memcpy(addr.sun_path, name, name_len + 1);

    auto link = std::make_shared<Link>(make_link_socket());
    int fd = link->fd.get();
    if (fd < 0) {
        usb_platform_set_last_error(errno == ENOMEM || errno == ENOBUFS ? USB_ERR_NOT_ENOUGH_MEMORY
                                                                        : USB_ERR_IO);
        return nullptr;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        switch (errno) {
            case ENOENT:
            case ECONNREFUSED:  // the socket is there but nobody listens: the device is away
                usb_platform_set_last_error(USB_ERR_NOT_FOUND);
                break;
            case EACCES:
            case EPERM:
                usb_platform_set_last_error(USB_ERR_ACCESS_DENIED);
                break;
            default:
                usb_platform_set_last_error(USB_ERR_IO);
        }
        return nullptr;
    }
    int size = kSocketBuffer;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);

    // the device greets with its descriptors; a device serving another host closes instead
    char kind = 0;
    uint32_t len = 0;
    Io r = read_header(fd, &kind, &len, Clock::now() + kGreetingTimeout);
    if (r == Io::Gone) {
        usb_platform_set_last_error(USB_ERR_BUSY);
        return nullptr;
    }
    if (r != Io::Ok || kind != simlink::kDescriptors || len < kDescriptorsSize ||
        len > kDescriptorsSize + kMaxSerial) {
        usb_platform_set_last_error(r == Io::Timeout ? USB_ERR_BUSY : USB_ERR_IO);
        return nullptr;
    }
    std::string payload(len, '\0');
    r = recv_exact(fd, payload.data(), len, Clock::now() + kFrameGrace);
    if (r != Io::Ok) {
        usb_platform_set_last_error(r == Io::Gone ? USB_ERR_BUSY : USB_ERR_IO);
        return nullptr;
    }
    static_assert(sizeof link->device_descriptor == simlink::kDeviceDescriptorSize);
    static_assert(sizeof link->interface_descriptor == simlink::kInterfaceDescriptorSize);
    std::memcpy(link->device_descriptor, payload.data(), simlink::kDeviceDescriptorSize);
    std::memcpy(link->interface_descriptor, payload.data() + simlink::kDeviceDescriptorSize,
                simlink::kInterfaceDescriptorSize);
    link->serial = payload.substr(kDescriptorsSize);
    link->has_serial = !link->serial.empty();
    link->name = name;

    usb_platform_set_last_error(USB_ERR_NONE);
    return interface_handle(std::move(link));
}

void* devsim_open_read_pipe(void* ifc) {
    return pipe_handle(ifc, Kind::ReadPipe);
}

void* devsim_open_write_pipe(void* ifc) {
    return pipe_handle(ifc, Kind::WritePipe);
}

bool devsim_serial_number(void* ifc, char* buf, size_t size) {
    Link* link = link_of(ifc);
    if (link == nullptr) return fail_with(USB_ERR_INVALID_HANDLE);
    if (!link->has_serial || size == 0) return fail_with(USB_ERR_IO);
    size_t n = std::min(link->serial.size(), size - 1);
    std::memcpy(buf, link->serial.data(), n);
    buf[n] = '\0';
    return true;
}

Clock::time_point deadline_after(uint32_t timeout_ms) {
    return Clock::now() + std::chrono::milliseconds(timeout_ms);
}

bool devsim_read(void* pipe, void* buf, uint32_t len, uint32_t* got, uint32_t timeout_ms) {
    *got = 0;
    Link* link = backend_pipe<Link>(pipe, Kind::ReadPipe);
    if (link == nullptr || link->broken) return fail_with(USB_ERR_INVALID_HANDLE);

    if (!link->early_reads.empty()) {
        std::string packet = std::move(link->early_reads.front());
        link->early_reads.pop_front();
        if (packet.size() > len) return fail_with(USB_ERR_IO);
        std::memcpy(buf, packet.data(), packet.size());
        *got = static_cast<uint32_t>(packet.size());
        usb_platform_set_last_error(USB_ERR_NONE);
        return true;
    }

    const int fd = link->fd.get();
    const auto deadline = deadline_after(timeout_ms);
    for (;;) {
        char kind = 0;
        uint32_t plen = 0;
        Io r = read_header(fd, &kind, &plen, deadline);
        if (r == Io::Timeout) return fail_with(USB_ERR_TIMEOUT);
        if (r != Io::Ok) return break_link(*link, r);
        if (plen > simlink::kMaxPayload) return break_link(*link, Io::Error);

        if (kind == simlink::kAck && link->acks_owed > 0 && plen == simlink::kCountSize) {
            // the late acknowledgement of a write that timed out
            unsigned char count[simlink::kCountSize];
            r = recv_exact(fd, count, sizeof count, Clock::now() + kFrameGrace);
            if (r != Io::Ok) return break_link(*link, r == Io::Gone ? r : Io::Error);
            --link->acks_owed;
            continue;
        }
        if (kind != simlink::kRead) return break_link(*link, Io::Error);

        if (plen > len) {
            // drop the packet so the stream stays in step, and report it
            r = discard(fd, plen, Clock::now() + kFrameGrace);
            if (r != Io::Ok) return break_link(*link, r == Io::Gone ? r : Io::Error);
            return fail_with(USB_ERR_IO);
        }
        r = recv_exact(fd, buf, plen, Clock::now() + kFrameGrace);
        if (r != Io::Ok) return break_link(*link, r == Io::Gone ? r : Io::Error);
        *got = plen;
        usb_platform_set_last_error(USB_ERR_NONE);
        return true;
    }
}

bool devsim_write(void* pipe, const void* buf, uint32_t len, uint32_t* put, uint32_t timeout_ms) {
    *put = 0;
    Link* link = backend_pipe<Link>(pipe, Kind::WritePipe);
    if (link == nullptr || link->broken) return fail_with(USB_ERR_INVALID_HANDLE);
    if (len > simlink::kMaxPayload) return fail_with(USB_ERR_IO);

    const int fd = link->fd.get();
    const auto deadline = deadline_after(timeout_ms);
    Io r = send_frame(fd, simlink::kWrite, buf, len, deadline);
    if (r == Io::Timeout) return fail_with(USB_ERR_TIMEOUT);
    if (r != Io::Ok) return break_link(*link, r);

    ++link->acks_owed;
    for (;;) {
        char kind = 0;
        uint32_t plen = 0;
        r = read_header(fd, &kind, &plen, deadline);
        // the acknowledgement may still come; a later read skips it
        if (r == Io::Timeout) return fail_with(USB_ERR_TIMEOUT);
        if (r != Io::Ok) return break_link(*link, r);
        if (plen > simlink::kMaxPayload) return break_link(*link, Io::Error);

        if (kind == simlink::kRead) {
            // the device answered before acknowledging: keep the answer for the next read
            std::string packet(plen, '\0');
            r = recv_exact(fd, packet.data(), plen, Clock::now() + kFrameGrace);
            if (r != Io::Ok) return break_link(*link, r == Io::Gone ? r : Io::Error);
            link->early_reads.push_back(std::move(packet));
            continue;
        }
        if (kind != simlink::kAck || plen != simlink::kCountSize) {
            return break_link(*link, Io::Error);
        }

        unsigned char count[simlink::kCountSize];
        r = recv_exact(fd, count, sizeof count, Clock::now() + kFrameGrace);
        if (r != Io::Ok) return break_link(*link, r == Io::Gone ? r : Io::Error);
        // acknowledgements come in order: earlier ones belong to writes that timed out
        if (link->acks_owed > 1) {
            --link->acks_owed;
            continue;
        }
        link->acks_owed = 0;
        uint32_t taken = simlink::get_le32(count);
        if (taken > len) return fail_with(USB_ERR_IO);
        *put = taken;
        usb_platform_set_last_error(USB_ERR_NONE);
        return true;
    }
}

const usb_platform kDevsimPlatform = {
    "devsim",
    devsim_enum,
    next_name,
    close_enumeration,
    devsim_create,
    devsim_open_read_pipe,
    devsim_open_write_pipe,
    interface_name,
    device_descriptor,
    interface_descriptor,
    devsim_serial_number,
    devsim_read,
    devsim_write,
    close_handle,
    true,     // simulated
    nullptr,  // a socket's descriptors come only in its greeting, once connected
};

}  // namespace

const usb_platform* usb_platform_devsim() {
    return &kDevsimPlatform;
}
