// The simulated link: every Unix-domain socket in $TESSARO_DEVSIM_DIR, and every address in
// $TESSARO_DEVSIM_ADDR (TCP, "A.B.C.D:PORT" separated by commas), is one device interface, spoken
// to in the frames of simlink/wire.h. A socket error never escapes this file: it becomes one of
// the usb_platform_error codes.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "simlink/wire.h"
#include "usb/link_socket.h"
#include "usb/usb_backend.h"
#include "usb/usb_platform.h"

namespace {

using namespace usb_backend;
using link_socket::Socket;
using Clock = std::chrono::steady_clock;

// how long a device may take to greet a new connection, and to finish a frame it has begun
constexpr std::chrono::milliseconds kGreetingTimeout{5000};
constexpr std::chrono::milliseconds kFrameGrace{10000};
constexpr size_t kDescriptorsSize =
    simlink::kDeviceDescriptorSize + simlink::kInterfaceDescriptorSize;
constexpr size_t kMaxSerial = 4096;

enum class Io { Ok, Timeout, Gone, Error };

Io io_of(link_socket::Io r) {
    return r == link_socket::Io::Gone ? Io::Gone : Io::Error;
}

// One connection to one simulated interface; its name is the socket's path.
struct Link : OpenInterface {
    link_socket::Owned fd;
    std::string serial;
    bool has_serial = false;
    // once the stream is out of step or closed, every transfer reports the device gone
    bool broken = false;
    // acknowledgements of writes that timed out waiting for them; skipped when they come
    uint32_t acks_owed = 0;
    // IN transfers that arrived while a write waited for its acknowledgement
    std::deque<std::string> early_reads;

    explicit Link(Socket s) : fd(s) {}
};

int remaining_ms(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return 0;
    return left.count() > 0x7fffffff ? 0x7fffffff : static_cast<int>(left.count());
}

Io wait_for(Socket s, bool for_write, Clock::time_point deadline) {
    switch (link_socket::wait_ready(s, for_write, remaining_ms(deadline))) {
        case link_socket::Wait::Ready:
            return Io::Ok;
        case link_socket::Wait::Timeout:
            return Io::Timeout;
        case link_socket::Wait::Error:
            break;
    }
    return Io::Error;
}

// Reads exactly n bytes. Timeout only when nothing of them arrived before the deadline.
Io recv_exact(Socket s, void* buf, size_t n, Clock::time_point deadline) {
    auto* p = static_cast<unsigned char*>(buf);
    size_t done = 0;
    while (done < n) {
        size_t got = 0;
        link_socket::Io r = link_socket::receive(s, p + done, n - done, &got);
        if (r == link_socket::Io::Ok) {
            done += got;
            continue;
        }
        if (r != link_socket::Io::Again) return io_of(r);
        Io w = wait_for(s, false, deadline);
        if (w != Io::Ok) return w;
    }
    return Io::Ok;
}

Io discard(Socket fd, size_t n, Clock::time_point deadline) {
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
Io read_header(Socket fd, char* kind, uint32_t* len, Clock::time_point deadline) {
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
Io send_frame(Socket s, char kind, const void* data, uint32_t len, Clock::time_point deadline) {
    unsigned char header[simlink::kHeaderSize];
    simlink::encode_header(simlink::Header{kind, len}, header);
    const auto* payload = static_cast<const unsigned char*>(data);
    const size_t total = sizeof header + len;
    size_t sent = 0;
    while (sent < total) {
        // skip what has gone already
        const size_t head_left = sent < sizeof header ? sizeof header - sent : 0;
        const size_t off = sent < sizeof header ? 0 : sent - sizeof header;
        size_t n = 0;
        link_socket::Io r = link_socket::send_two(s, header + (sizeof header - head_left),
                                                  head_left, payload + off, len - off, &n);
        if (r == link_socket::Io::Ok) {
            sent += n;
            continue;
        }
        if (r != link_socket::Io::Again) return io_of(r);
        Io w = wait_for(s, true, sent == 0 ? deadline : Clock::now() + kFrameGrace);
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

// The addresses of $TESSARO_DEVSIM_ADDR as interface names, in the order given; an entry that is
// not an address is left out.
std::vector<std::string> tcp_names(const char* list) {
    std::vector<std::string> names;
    std::string_view rest = list;
    while (!rest.empty()) {
        const size_t comma = std::min(rest.find(','), rest.size());
        std::string name = std::string(link_socket::kTcpPrefix);
        name += rest.substr(0, comma);
        if (link_socket::tcp_address(name)) names.push_back(std::move(name));
        rest.remove_prefix(std::min(comma + 1, rest.size()));
    }
    return names;
}

void* devsim_enum() {
    const char* dir = std::getenv("TESSARO_DEVSIM_DIR");
    const char* addr = std::getenv("TESSARO_DEVSIM_ADDR");
    std::vector<std::string> names;
    if (dir != nullptr && *dir != '\0') names = link_socket::socket_files(dir);
    if (addr != nullptr && *addr != '\0') {
        for (auto& n : tcp_names(addr)) names.push_back(std::move(n));
    }
    if (names.empty()) {
        usb_platform_set_last_error(USB_ERR_NOT_FOUND);
        return nullptr;
    }
    return make_enumeration(std::move(names));
}

void* devsim_create(const char* name) {
    usb_platform_error why = USB_ERR_IO;
    Socket s = link_socket::connect_link(name, &why);
    if (s == link_socket::kNoSocket) {
        usb_platform_set_last_error(why);
        return nullptr;
    }
    auto link = std::make_shared<Link>(s);
    const Socket fd = link->fd.get();

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

    if (!link->early_reads.empty()) return read_queued(link->early_reads, buf, len, got);

    const Socket fd = link->fd.get();
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

    const Socket fd = link->fd.get();
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

// A simulated device hangs where its socket is (or at its TCP address), across its reboots.
bool devsim_device_path(const char* name, char* buf, size_t size) {
    const size_t n = std::strlen(name);
    if (n + 1 > size) return false;
    std::memcpy(buf, name, n + 1);
    return true;
}

// The device's greeting holds its descriptors and serial number: the link is opened for it and
// closed again, with nothing sent.
bool devsim_peek_device(const char* name, uint8_t device[18], uint8_t ifc[9], char* serial,
                        size_t serial_size) {
    void* handle = devsim_create(name);
    if (handle == nullptr) return false;
    Link* link = link_of(handle);
    std::memcpy(device, link->device_descriptor, sizeof link->device_descriptor);
    std::memcpy(ifc, link->interface_descriptor, sizeof link->interface_descriptor);
    if (serial_size > 0) {
        const size_t n = std::min(link->serial.size(), serial_size - 1);
        std::memcpy(serial, link->serial.data(), n);
        serial[n] = '\0';
    }
    close_handle(handle);
    return true;
}

const usb_platform kDevsimPlatform = {
    "devsim",
    devsim_enum,
    next_name,
    close_enumeration,
    devsim_create,
    open_read_pipe,
    open_write_pipe,
    interface_name,
    device_descriptor,
    interface_descriptor,
    devsim_serial_number,
    devsim_read,
    devsim_write,
    close_handle,
    true,     // simulated
    nullptr,  // a socket's descriptors come only in its greeting, once connected
    devsim_device_path,
    devsim_peek_device,
    nullptr,  // a new connection finds the device waiting for a command: nothing to reset
};

}  // namespace

const usb_platform* usb_platform_devsim() {
    return &kDevsimPlatform;
}
