#include "usb/socket_peer.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "simlink/wire.h"

namespace peer {

Dir::Dir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "tessaro-usb-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

Dir::~Dir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

Listener::Listener(const std::string& path)
    : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd_, 8) != 0) {
        throw std::runtime_error("cannot listen on " + path);
    }
}

Listener::~Listener() {
    ::close(fd_);
}

int Listener::accept_one() const {
    return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

namespace {

bool read_all(int fd, void* buf, size_t n) {
    auto* p = static_cast<char*>(buf);
    while (n > 0) {
        ssize_t r = ::recv(fd, p, n, 0);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

}  // namespace

void send_frame(int fd, char kind, const std::string& payload) {
    std::string frame(simlink::kHeaderSize, '\0');
    frame[0] = kind;
    simlink::put_le32(reinterpret_cast<unsigned char*>(frame.data()) + 1,
                      static_cast<uint32_t>(payload.size()));
    frame += payload;
    const char* p = frame.data();
    size_t left = frame.size();
    while (left > 0) {
        ssize_t r = ::send(fd, p, left, MSG_NOSIGNAL);
        if (r <= 0) return;
        p += r;
        left -= static_cast<size_t>(r);
    }
}

std::pair<char, std::string> recv_frame(int fd) {
    unsigned char header[simlink::kHeaderSize];
    if (!read_all(fd, header, sizeof header)) return {'\0', ""};
    std::string payload(simlink::get_le32(header + 1), '\0');
    if (!read_all(fd, payload.data(), payload.size())) return {'\0', ""};
    return {static_cast<char>(header[0]), payload};
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

}  // namespace peer
