// The device's end of one host connection, in frames: W frames in, their payload read straight
// into the buffer the bootloader core gives; D, A and R frames out; and the pace of a link with
// a rate limit. What the frames mean is the core's business; when to read and send is the
// socket server's.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/unique_fd.h"
#include "devsim/device_config.h"
#include "simlink/wire.h"

namespace devsim {

using LinkClock = std::chrono::steady_clock;

// A W frame's payload that has arrived whole.
struct Transfer {
    uint32_t length = 0;
    LinkClock::time_point began;  // when its header arrived
};

class HostLink {
  public:
    HostLink() = default;
    explicit HostLink(base::unique_fd fd) : fd_(std::move(fd)) {}

    [[nodiscard]] bool connected() const { return static_cast<bool>(fd_); }
    [[nodiscard]] int fd() const { return fd_.get(); }
    // The host has closed its end; what it sent before that may still be unread.
    [[nodiscard]] bool hung_up() const;

    enum class Received {
        Nothing,  // nothing more has arrived for now
        Bytes,    // part of a frame
        Header,   // a W frame's header: give its payload a place with read_payload_into()
        Ended,    // the host closed the link, or sent what no host of this link sends
    };
    // Reads once from the socket.
    Received receive();
    // The length in the W frame header just received.
    [[nodiscard]] uint32_t payload_length() const { return *payload_len_; }
    void read_payload_into(std::span<uint8_t> buffer);
    // The transfer whose payload has just arrived whole, once.
    std::optional<Transfer> take_transfer();

    void send_descriptors(const DeviceConfig& cfg);
    void send_count(uint32_t taken);
    void send_status(std::string_view packet);

    [[nodiscard]] bool flushed() const { return out_sent_ == out_.size(); }
    enum class Sent { All, Blocked, Broken };
    // Sends what is pending, as far as the socket takes it.
    Sent send_pending();

    // Nothing goes out before this.
    std::optional<LinkClock::time_point> hold_until;

  private:
    base::unique_fd fd_;
    unsigned char header_[simlink::kHeaderSize] = {};
    size_t header_got_ = 0;
    std::optional<uint32_t> payload_len_;  // set while a W frame's payload is being read
    std::span<uint8_t> payload_;
    size_t payload_got_ = 0;
    LinkClock::time_point payload_since_;
    std::string out_;  // frames not yet sent
    size_t out_sent_ = 0;
};

// A link that carries `rate` bytes a second (0: no limit), one transfer after another: a
// transfer is acknowledged only once the link could have carried it. The link is idle only while
// the host has nothing to send; the time the device itself takes to wake up and acknowledge is
// not a gap of the link, so transfers sent back to back go at the rate exactly.
class LinkPace {
  public:
    explicit LinkPace(uint64_t rate = 0) : rate_(rate) {}
    void carried(const Transfer& t);
    // The acknowledgement of the last transfer left at `when`.
    void acked(LinkClock::time_point when);
    // When an acknowledgement may leave, if that is later than `now`.
    [[nodiscard]] std::optional<LinkClock::time_point> busy_until(LinkClock::time_point now) const;

  private:
    uint64_t rate_;
    LinkClock::time_point free_{};   // the link is busy until then
    LinkClock::time_point acked_{};  // when the last acknowledgement left
};

}  // namespace devsim
