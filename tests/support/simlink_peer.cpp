#include "support/simlink_peer.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "simlink/wire.h"

namespace support {

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_un address(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    return addr;
}

// false on timeout, or when the other end closed the link (then *closed is set)
bool read_exact(int fd, char* p, size_t n, std::optional<Clock::time_point> deadline,
                bool* closed) {
    while (n > 0) {
        if (deadline) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now());
            pollfd pfd{fd, POLLIN, 0};
            if (left.count() < 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
                return false;
            }
        }
        ssize_t got = ::recv(fd, p, n, 0);
        if (got <= 0) {
            if (closed != nullptr) *closed = true;
            return false;
        }
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

}  // namespace

bool send_frame(int fd, char kind, std::string_view payload) {
    unsigned char header[simlink::kHeaderSize];
    header[0] = static_cast<unsigned char>(kind);
    simlink::put_le32(header + 1, static_cast<uint32_t>(payload.size()));
    iovec iov[2] = {{header, sizeof header}, {const_cast<char*>(payload.data()), payload.size()}};
    size_t total = sizeof header + payload.size();
    while (total > 0) {
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = 2;
        ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (n <= 0) return false;
        total -= static_cast<size_t>(n);
        for (auto& v : iov) {
            size_t step = std::min(static_cast<size_t>(n), v.iov_len);
            v.iov_base = static_cast<char*>(v.iov_base) + step;
            v.iov_len -= step;
            n -= static_cast<ssize_t>(step);
        }
    }
    return true;
}

std::optional<Frame> read_frame(int fd, std::chrono::milliseconds timeout, bool* closed) {
    std::optional<Clock::time_point> deadline;
    if (timeout.count() >= 0) deadline = Clock::now() + timeout;
    unsigned char header[simlink::kHeaderSize];
    if (!read_exact(fd, reinterpret_cast<char*>(header), sizeof header, deadline, closed)) {
        return std::nullopt;
    }
    Frame f;
    f.kind = static_cast<char>(header[0]);
    f.payload.resize(simlink::get_le32(header + 1));
    // a payload under way gets time of its own
    if (deadline) *deadline += 5s;
    if (!read_exact(fd, f.payload.data(), f.payload.size(), deadline, closed)) return std::nullopt;
    return f;
}

std::pair<char, std::string> recv_frame(int fd) {
    auto f = read_frame(fd, std::chrono::milliseconds(-1));
    if (!f) return {'\0', ""};
    return {f->kind, std::move(f->payload)};
}

std::string descriptors(uint16_t vendor, uint8_t endpoints, const std::string& serial) {
    unsigned char dd[18] = {18, 1, 0x00, 0x02, 0, 0, 0, 64};
    dd[8] = static_cast<unsigned char>(vendor);
    dd[9] = static_cast<unsigned char>(vendor >> 8);
    dd[10] = 0xE0;
    dd[11] = 0x4E;
    dd[17] = 1;
    const unsigned char id[9] = {9, 4, 0, 0, endpoints, 0xFF, 0x42, 0x03, 0};
    return std::string(reinterpret_cast<const char*>(dd), sizeof dd) +
           std::string(reinterpret_cast<const char*>(id), sizeof id) + serial;
}

std::string count(uint32_t n) {
    std::string s(4, '\0');
    simlink::put_le32(reinterpret_cast<unsigned char*>(s.data()), n);
    return s;
}

Listener::Listener(const std::string& path)
    : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un addr = address(path);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd_, 8) != 0) {
        if (fd_ >= 0) ::close(fd_);
        throw std::runtime_error("cannot listen on " + path);
    }
}

Listener::~Listener() {
    ::close(fd_);
}

int Listener::accept_one() const {
    return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

LinkClient::~LinkClient() {
    close();
}

bool LinkClient::connect(const std::string& path) {
    close();
    closed_ = false;
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = address(path);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close();
        return false;
    }
    return true;
}

void LinkClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

std::optional<Frame> LinkClient::read(std::chrono::milliseconds timeout) {
    if (fd_ < 0) return std::nullopt;
    return read_frame(fd_, timeout, &closed_);
}

bool LinkClient::closes_within(std::chrono::milliseconds timeout) {
    return !read(timeout) && closed_;
}

bool LinkClient::send_frame(char kind, std::string_view payload) {
    return support::send_frame(fd_, kind, payload);
}

bool LinkClient::send_raw(std::string_view bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
}

std::optional<uint32_t> LinkClient::write(std::string_view bytes) {
    if (!send_frame(simlink::kWrite, bytes)) return std::nullopt;
    auto f = read();
    if (!f || f->kind != simlink::kAck || f->payload.size() != 4) return std::nullopt;
    return simlink::get_le32(reinterpret_cast<const unsigned char*>(f->payload.data()));
}

std::vector<std::string> LinkClient::command(std::string_view text) {
    std::vector<std::string> packets;
    if (write(text) != text.size()) return packets;
    for (;;) {
        auto f = read();
        if (!f || f->kind != simlink::kRead) return packets;
        packets.push_back(f->payload);
        if (!f->payload.starts_with("INFO")) return packets;
    }
}

}  // namespace support
