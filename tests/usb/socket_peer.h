// A tiny device on the simulated link, for testing the host side: a listening Unix-domain
// socket in a temporary directory, and the link's frames.
#pragma once

#include <string>
#include <utility>

namespace peer {

// A temporary directory removed with its contents.
class Dir {
  public:
    Dir();
    ~Dir();
    Dir(const Dir&) = delete;
    Dir& operator=(const Dir&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// A listening socket at `path`.
class Listener {
  public:
    explicit Listener(const std::string& path);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    // Waits for the next connection and returns it (the caller closes it).
    int accept_one() const;

  private:
    int fd_;
};

void send_frame(int fd, char kind, const std::string& payload);
// The next frame: kind and payload ('\0' and "" when the host closed the link).
std::pair<char, std::string> recv_frame(int fd);
// A D frame's payload: descriptors of a bootloader interface, then the serial's bytes.
std::string descriptors(uint16_t vendor, uint8_t endpoints, const std::string& serial);
// A 4-byte little-endian count, the payload of an A frame.
std::string count(uint32_t n);

}  // namespace peer
