// The socket adapter: each device is a Unix-domain stream socket in one directory, or a TCP
// listener on the loopback, and the host talks to it in frames (simlink/wire.h). One thread, one
// poll loop for all devices. Sockets and frames stay on this side (with host_link.h and
// posix_shims.h); the bootloader core never sees them.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "devsim/device_config.h"

namespace devsim {

class SocketServer {
  public:
    explicit SocketServer(SimConfig config);
    SocketServer(const SocketServer&) = delete;
    SocketServer& operator=(const SocketServer&) = delete;
    // Removes the sockets it made.
    ~SocketServer();

    // Opens the transcript and storage and makes the sockets of the devices present at start.
    // Empty when all went well, else what failed.
    std::string start();
    // With --listen, after start(): each device's name and the address it listens on.
    std::vector<std::pair<std::string, std::string>> addresses() const;
    // Serves the devices until request_stop().
    void run();
    // Safe from a signal handler and from another thread.
    void request_stop();

    struct Device;
    struct State;

  private:
    std::unique_ptr<State> state_;
};

}  // namespace devsim
