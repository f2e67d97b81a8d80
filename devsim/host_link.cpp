#include "devsim/host_link.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "devsim/posix_shims.h"

namespace devsim {

bool HostLink::hung_up() const {
    pollfd p{fd_.get(), POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) return false;
    if ((p.revents & (POLLHUP | POLLERR)) != 0) return true;
    char c;
    return (p.revents & POLLIN) != 0 && ::recv(fd_.get(), &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

HostLink::Received HostLink::receive() {
    for (;;) {
        ssize_t n;
        if (!payload_len_) {
            n = ::recv(fd_.get(), header_ + header_got_, sizeof header_ - header_got_, 0);
        } else {
            n = ::recv(fd_.get(), payload_.data() + payload_got_, payload_.size() - payload_got_,
                       0);
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Received::Nothing;
        if (n <= 0) return Received::Ended;
        if (payload_len_) {
            payload_got_ += static_cast<size_t>(n);
            return Received::Bytes;
        }
        header_got_ += static_cast<size_t>(n);
        if (header_got_ < sizeof header_) return Received::Bytes;
        header_got_ = 0;
        const simlink::Header h = simlink::decode_header(header_);
        // not a host speaking this link
        if (h.kind != simlink::kWrite || h.length > simlink::kMaxPayload) return Received::Ended;
        payload_len_ = h.length;
        payload_since_ = LinkClock::now();
        return Received::Header;
    }
}

void HostLink::read_payload_into(std::span<uint8_t> buffer) {
    payload_ = buffer;
    payload_got_ = 0;
}

std::optional<Transfer> HostLink::take_transfer() {
    if (!payload_len_ || payload_got_ != payload_.size()) return std::nullopt;
    Transfer t{*payload_len_, payload_since_};
    payload_len_.reset();
    return t;
}

void HostLink::send_descriptors(const DeviceConfig& cfg) {
    std::string payload;
    auto dd = device_descriptor(cfg);
    auto id = interface_descriptor(cfg);
    payload.append(reinterpret_cast<const char*>(dd.data()), dd.size());
    payload.append(reinterpret_cast<const char*>(id.data()), id.size());
    if (cfg.serial_readable) payload += cfg.serial;
    out_ += simlink::encode_frame(simlink::kDescriptors, payload);
}

void HostLink::send_count(uint32_t taken) {
    out_ += simlink::encode_frame(simlink::kAck, simlink::encode_count(taken));
}

void HostLink::send_status(std::string_view packet) {
    out_ += simlink::encode_frame(simlink::kRead, packet);
}

HostLink::Sent HostLink::send_pending() {
    while (fd_ && !flushed()) {
        ssize_t n = send_no_signal(fd_.get(), out_.data() + out_sent_, out_.size() - out_sent_);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Sent::Blocked;
        if (n < 0) return Sent::Broken;
        out_sent_ += static_cast<size_t>(n);
    }
    out_.clear();
    out_sent_ = 0;
    return Sent::All;
}

void LinkPace::carried(const Transfer& t) {
    if (rate_ == 0) return;
    auto cost = std::chrono::duration_cast<LinkClock::duration>(
        std::chrono::duration<double>(static_cast<double>(t.length) / static_cast<double>(rate_)));
    // the host could only start once it had the last acknowledgement: the device's lateness
    // with that one is taken off the idle time before this transfer
    const auto late = acked_ > free_ ? acked_ - free_ : LinkClock::duration::zero();
    free_ = std::max(free_, t.began - late) + cost;
}

void LinkPace::acked(LinkClock::time_point when) {
    acked_ = when;
}

std::optional<LinkClock::time_point> LinkPace::busy_until(LinkClock::time_point now) const {
    if (rate_ == 0 || now >= free_) return std::nullopt;
    return free_;
}

}  // namespace devsim
