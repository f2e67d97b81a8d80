#include "simlink/address.h"

#include <charconv>

namespace simlink {

namespace {

// A decimal number up to `max` that takes all of `text`.
std::optional<unsigned> whole_number(std::string_view text, unsigned max) {
    unsigned v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || v > max) {
        return std::nullopt;
    }
    return v;
}

}  // namespace

std::optional<TcpAddress> parse_address(std::string_view text) {
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    auto port = whole_number(text.substr(colon + 1), 65535);
    if (!port) return std::nullopt;
    TcpAddress a;
    a.port = static_cast<uint16_t>(*port);
    std::string_view host = text.substr(0, colon);
    for (int i = 0; i < 4; ++i) {
        const size_t dot = i < 3 ? host.find('.') : host.size();
        if (dot == std::string_view::npos) return std::nullopt;
        auto part = whole_number(host.substr(0, dot), 255);
        if (!part) return std::nullopt;
        a.ipv4[i] = static_cast<uint8_t>(*part);
        host.remove_prefix(i < 3 ? dot + 1 : dot);
    }
    return a;
}

std::string format_address(const TcpAddress& a) {
    return std::to_string(a.ipv4[0]) + "." + std::to_string(a.ipv4[1]) + "." +
           std::to_string(a.ipv4[2]) + "." + std::to_string(a.ipv4[3]) + ":" +
           std::to_string(a.port);
}

}  // namespace simlink
