// Strict number parsing for option values and command fields: digits only, no sign, no
// white space, no prefix, and no value beyond 32 bits (64 for the one 64-bit parser).
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>

namespace devsim {

template <class T = uint32_t>
inline std::optional<T> parse_base(std::string_view text, int base) {
    if (text.empty()) return std::nullopt;
    T v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, base);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return v;
}

inline std::optional<uint32_t> parse_decimal(std::string_view text) {
    return parse_base(text, 10);
}
inline std::optional<uint32_t> parse_hex32(std::string_view text) {
    return parse_base(text, 16);
}
inline std::optional<uint64_t> parse_hex64(std::string_view text) {
    return parse_base<uint64_t>(text, 16);
}

}  // namespace devsim
