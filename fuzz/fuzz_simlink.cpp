// The simulated link's frame reading (usb/usb_devsim.cpp) against a device that sends anything:
// a peer thread accepts the backend's connection, writes the input's bytes as the device's
// side of the stream and closes it. The host side opens the interface and runs a scripted
// series of reads and writes. Whatever the frames say, the backend stays inside the buffers it
// is given and reports no more bytes than were asked for.
//
// Input: one byte, the host's eight operations (bit set: a read, clear: a write, low bit
// first); one byte, the read size (1 to 80); the rest is what the device sends.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "fuzz_input.h"
#include "usb/usb_platform.h"

namespace {

// A listening socket in a directory of its own, for the life of the process.
class Listener {
  public:
    Listener() {
        char tmpl[] = "/tmp/tessaro-fuzz-simlink-XXXXXX";
        FUZZ_CHECK(::mkdtemp(tmpl) != nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/dev";
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        FUZZ_CHECK(fd_ >= 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        FUZZ_CHECK(path_.size() < sizeof addr.sun_path);
        std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
        FUZZ_CHECK(::bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0);
        FUZZ_CHECK(::listen(fd_, 4) == 0);
    }
    ~Listener() {
        ::close(fd_);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    const std::string& path() const { return path_; }

    // The device's side of one connection: send the bytes, close the sending half, and take
    // whatever the host writes until it closes.
    void serve(std::span<const uint8_t> bytes) const {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1) return;  // the host never connected
        int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) return;
        size_t sent = 0;
        while (sent < bytes.size()) {
            ssize_t n = ::send(c, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        ::shutdown(c, SHUT_WR);
        char sink[4096];
        while (::recv(c, sink, sizeof sink, 0) > 0) {
        }
        ::close(c);
    }

  private:
    std::string dir_;
    std::string path_;
    int fd_ = -1;
};

const Listener& listener() {
    static Listener l;
    return l;
}

// What one connection does on the host's side.
void host(const usb_platform& p, uint8_t ops, uint32_t read_size) {
    void* ifc = p.create_interface(listener().path().c_str());
    if (ifc == nullptr) return;
    void* in = p.open_read_pipe(ifc);
    void* out = p.open_write_pipe(ifc);
    FUZZ_CHECK(in != nullptr && out != nullptr);

    size_t name_len = 0;
    if (p.interface_name(ifc, nullptr, &name_len)) {
        auto name = std::make_unique<char[]>(name_len);
        FUZZ_CHECK(p.interface_name(ifc, name.get(), &name_len));
        FUZZ_CHECK(name[name_len - 1] == '\0');
    }
    uint8_t dd[18];
    uint8_t id[9];
    p.device_descriptor(ifc, dd);
    p.interface_descriptor(ifc, id);
    auto serial = std::make_unique<char[]>(256);
    if (p.serial_number(ifc, serial.get(), 256)) {
        FUZZ_CHECK(std::memchr(serial.get(), '\0', 256) != nullptr);
    }

    const char cmd[] = "getvar:product";
    for (int i = 0; i < 8; ++i) {
        if (((ops >> i) & 1) != 0) {
            // exactly the size asked for, so a write past it is caught
            auto buf = std::make_unique_for_overwrite<uint8_t[]>(read_size);
            uint32_t got = 12345;
            bool ok = p.read_sync(in, buf.get(), read_size, &got, 100);
            FUZZ_CHECK(ok ? got <= read_size : got == 0);
            FUZZ_CHECK(ok == (usb_platform_last_error() == USB_ERR_NONE));
        } else {
            uint32_t put = 12345;
            bool ok = p.write_sync(out, cmd, sizeof cmd - 1, &put, 100);
            FUZZ_CHECK(ok ? put <= sizeof cmd - 1 : put == 0);
            FUZZ_CHECK(ok == (usb_platform_last_error() == USB_ERR_NONE));
        }
    }
    p.close_handle(in);
    p.close_handle(out);
    p.close_handle(ifc);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    uint8_t ops = input.byte();
    uint32_t read_size = 1 + input.byte() % 80;
    auto device_bytes = input.take(input.left());

    const Listener& l = listener();
    std::thread device([&] { l.serve(device_bytes); });
    host(*usb_platform_devsim(), ops, read_size);
    device.join();
    return 0;
}
