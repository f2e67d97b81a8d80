// The socket calls under the simulated link, the part of it that differs between hosts: a
// Unix-domain socket in a directory or a TCP address, connected, read and written without
// blocking, and waited on. link_socket_posix.cpp and link_socket_win.cpp each give one host's
// version; the link's frames and their rules stay in usb_devsim.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "simlink/address.h"
#include "usb/usb_platform.h"

namespace link_socket {

// A socket descriptor on any host (a Windows SOCKET does not fit in an int).
using Socket = intptr_t;
constexpr Socket kNoSocket = -1;

void close_socket(Socket s);

// A connected socket that closes itself.
class Owned {
  public:
    Owned() = default;
    explicit Owned(Socket s) : s_(s) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& o) noexcept : s_(std::exchange(o.s_, kNoSocket)) {}
    Owned& operator=(Owned&& o) noexcept {
        if (this != &o) reset(std::exchange(o.s_, kNoSocket));
        return *this;
    }
    ~Owned() { reset(); }
    [[nodiscard]] Socket get() const { return s_; }
    // hands the socket over; this owner no longer closes it
    Socket release() { return std::exchange(s_, kNoSocket); }
    void reset(Socket s = kNoSocket) {
        if (s_ != kNoSocket) close_socket(s_);
        s_ = s;
    }

  private:
    Socket s_ = kNoSocket;
};

// Interface names of simulated devices reached over TCP begin with this.
constexpr std::string_view kTcpPrefix = "tcp:";

// The device address in an interface name kTcpPrefix + "A.B.C.D:PORT"; nothing for any other.
std::optional<simlink::TcpAddress> tcp_address(std::string_view name);

// The Unix-domain sockets in `dir`, as paths, in byte order of their file names; empty when the
// directory cannot be read or the host has no such sockets.
std::vector<std::string> socket_files(const char* dir);

// Connects to an interface name: a socket path, or kTcpPrefix and HOST:PORT. The socket is
// non-blocking and never raises SIGPIPE. kNoSocket and the platform code when it cannot (a
// device that nobody serves is USB_ERR_NOT_FOUND, as an interface gone between listing and
// opening).
Socket connect_link(const std::string& name, usb_platform_error* why);

enum class Io { Ok, Again, Gone, Error };

// One non-blocking receive. Ok with *got > 0; Gone at the end of the stream; Again when nothing
// is there yet.
Io receive(Socket s, void* buf, size_t n, size_t* got);
// One non-blocking send of `a` then `b` in a single call, so a frame's header and payload go out
// together without a copy. Ok with *sent (possibly short).
Io send_two(Socket s, const void* a, size_t alen, const void* b, size_t blen, size_t* sent);

enum class Wait { Ready, Timeout, Error };
// Waits up to timeout_ms until the socket can be read (or written, `for_write`).
Wait wait_ready(Socket s, bool for_write, int timeout_ms);

}  // namespace link_socket
