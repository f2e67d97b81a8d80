#include "support/framing_client.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "simlink/wire.h"

namespace bench {

namespace {

bool read_all(int fd, void* p, size_t n) {
    auto* c = static_cast<char*>(p);
    while (n > 0) {
        ssize_t r = ::read(fd, c, n);
        if (r <= 0) return false;
        c += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

}  // namespace

FramingClient::~FramingClient() {
    if (fd_ >= 0) ::close(fd_);
}

bool FramingClient::connect(const std::filesystem::path& socket) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket.c_str());
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
    char kind = 0;
    std::string payload;
    return read_frame(kind, payload) && kind == simlink::kDescriptors;
}

bool FramingClient::read_frame(char& kind, std::string& payload) {
    unsigned char header[simlink::kHeaderSize];
    if (!read_all(fd_, header, sizeof header)) return false;
    simlink::Header h = simlink::decode_header(header);
    kind = h.kind;
    payload.resize(h.length);
    return read_all(fd_, payload.data(), h.length);
}

bool FramingClient::transfer(const void* data, size_t len) {
    unsigned char header[simlink::kHeaderSize];
    simlink::encode_header({simlink::kWrite, static_cast<uint32_t>(len)}, header);
    iovec iov[2] = {{header, sizeof header}, {const_cast<void*>(data), len}};
    size_t left = sizeof header + len;
    int first = 0;
    while (left > 0) {
        ssize_t n = ::writev(fd_, iov + first, 2 - first);
        if (n <= 0) return false;
        left -= static_cast<size_t>(n);
        auto done = static_cast<size_t>(n);
        while (first < 2 && done >= iov[first].iov_len) done -= iov[first++].iov_len;
        if (first < 2) {
            iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + done;
            iov[first].iov_len -= done;
        }
    }
    char kind = 0;
    std::string count;
    return read_frame(kind, count) && kind == simlink::kAck;
}

bool FramingClient::status(std::string& packet) {
    char kind = 0;
    return read_frame(kind, packet) && kind == simlink::kRead;
}

bool FramingClient::download_and_flash(const std::filesystem::path& file, const std::string& name) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const auto size = static_cast<uint32_t>(std::filesystem::file_size(file));
    char cmd[64];
    std::snprintf(cmd, sizeof cmd, "download:%08x", size);
    std::string reply;
    bool ok = transfer(cmd, std::strlen(cmd)) && status(reply) && reply.starts_with("DATA");
    std::vector<char> buf(1 << 20);
    for (uint32_t sent = 0; ok && sent < size;) {
        ssize_t n = ::read(fd, buf.data(), buf.size());
        ok = n > 0 && transfer(buf.data(), static_cast<size_t>(n));
        sent += static_cast<uint32_t>(n > 0 ? n : 0);
    }
    ::close(fd);
    ok = ok && status(reply) && reply == "OKAY";
    const std::string flash = "flash:" + name;
    return ok && transfer(flash.data(), flash.size()) && status(reply) && reply == "OKAY";
}

}  // namespace bench
