// A small host for the simulated link, for tests of the socket server: connects to a device's
// socket and speaks the frames of simlink/wire.h, with timeouts.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace devsim_test {

using namespace std::chrono_literals;

struct Frame {
    char kind = 0;
    std::string payload;
};

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
    bool read_exact(char* p, size_t n, std::chrono::steady_clock::time_point deadline);

    int fd_ = -1;
    bool closed_ = false;
};

}  // namespace devsim_test
