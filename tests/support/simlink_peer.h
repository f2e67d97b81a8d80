// The two ends of the simulated link for tests, speaking its frames over a Unix-domain socket:
// a host (LinkClient) for testing the device's socket server, and a device's listening socket
// with the frames it sends (Listener, descriptors, count) for testing the host's backend.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace support {

using namespace std::chrono_literals;

struct Frame {
    char kind = 0;
    std::string payload;
};

// Writes one frame; false when the other end is gone.
bool send_frame(int fd, char kind, std::string_view payload);
// The next frame within `timeout` (forever when negative); nothing on timeout or when the other
// end closed the link, which then sets *closed.
std::optional<Frame> read_frame(int fd, std::chrono::milliseconds timeout, bool* closed = nullptr);
// The next frame, waiting as long as it takes: kind and payload ('\0' and "" when the other end
// closed the link).
std::pair<char, std::string> recv_frame(int fd);

// A D frame's payload: descriptors of a bootloader interface, then the serial's bytes.
std::string descriptors(uint16_t vendor, uint8_t endpoints, const std::string& serial);
// A 4-byte little-endian count, the payload of an A frame.
std::string count(uint32_t n);

// A device's listening socket at `path`.
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

// A host on the simulated link: connects to a device's socket and speaks its frames, with
// timeouts.
class LinkClient {
  public:
    LinkClient() = default;
    LinkClient(const LinkClient&) = delete;
    LinkClient& operator=(const LinkClient&) = delete;
    ~LinkClient();

    // Connects; false when nothing listens there.
    bool connect(const std::string& path);
    void close();

    // The next frame; nothing on timeout or when the device closed the link (see closed()).
    std::optional<Frame> read(std::chrono::milliseconds timeout = 5000ms);
    bool closed() const { return closed_; }
    // True when the device closes the link within the time, with no frame before that.
    bool closes_within(std::chrono::milliseconds timeout);

    bool send_frame(char kind, std::string_view payload);
    // Bytes as they are, framed or not.
    bool send_raw(std::string_view bytes);
    // One bulk OUT transfer: the count the device acknowledged, or nothing.
    std::optional<uint32_t> write(std::string_view bytes);
    // A command: its transfer, then every status packet up to the first that is not INFO.
    std::vector<std::string> command(std::string_view text);

  private:
    int fd_ = -1;
    bool closed_ = false;
};

}  // namespace support
