#include "link_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "simlink/wire.h"

namespace devsim_test {

using Clock = std::chrono::steady_clock;

LinkClient::~LinkClient() {
    close();
}

bool LinkClient::connect(const std::string& path) {
    close();
    closed_ = false;
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
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

bool LinkClient::read_exact(char* p, size_t n, Clock::time_point deadline) {
    while (n > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd pfd{fd_, POLLIN, 0};
        if (left.count() < 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) return false;
        ssize_t got = ::recv(fd_, p, n, 0);
        if (got <= 0) {
            closed_ = true;
            return false;
        }
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

std::optional<Frame> LinkClient::read(std::chrono::milliseconds timeout) {
    if (fd_ < 0) return std::nullopt;
    const auto deadline = Clock::now() + timeout;
    unsigned char header[simlink::kHeaderSize];
    if (!read_exact(reinterpret_cast<char*>(header), sizeof header, deadline)) return std::nullopt;
    Frame f;
    f.kind = static_cast<char>(header[0]);
    f.payload.resize(simlink::get_le32(header + 1));
    if (!read_exact(f.payload.data(), f.payload.size(), deadline + 5s)) return std::nullopt;
    return f;
}

bool LinkClient::closes_within(std::chrono::milliseconds timeout) {
    return !read(timeout) && closed_;
}

bool LinkClient::send_frame(char kind, std::string_view payload) {
    unsigned char header[simlink::kHeaderSize];
    header[0] = static_cast<unsigned char>(kind);
    simlink::put_le32(header + 1, static_cast<uint32_t>(payload.size()));
    iovec iov[2] = {{header, sizeof header}, {const_cast<char*>(payload.data()), payload.size()}};
    size_t total = sizeof header + payload.size();
    while (total > 0) {
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = 2;
        ssize_t n = ::sendmsg(fd_, &msg, MSG_NOSIGNAL);
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

}  // namespace devsim_test
