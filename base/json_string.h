// A JSON string literal of any bytes, for the trace file and the simulated device's transcript:
// quotes, backslashes, control characters and bytes outside printable ASCII are escaped (the
// latter two as \u00XX: a device's text is not necessarily UTF-8), so any text gives valid JSON.
#pragma once

#include <string>
#include <string_view>

namespace base {

inline std::string json_string(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (char ch : bytes) {
        auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20 || c > 0x7e) {
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0xf];
        } else {
            out += ch;
        }
    }
    out += '"';
    return out;
}

}  // namespace base
