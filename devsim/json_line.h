// One line of a JSON-lines file read back, for a run's trace handed to the simulated device: a
// flat object whose values are strings, numbers, true, false, null or arrays of strings, which
// is all the trace writes. The file comes from elsewhere, so anything else is refused with the
// reason, and nothing in a line can make the reader misbehave.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace devsim {

struct JsonValue {
    enum class Kind { text, number, boolean, null, texts };
    Kind kind = Kind::null;
    std::string text;                // a string's bytes; a number's or a boolean's spelling
    std::vector<std::string> items;  // an array's strings
};

struct JsonLine {
    std::map<std::string, JsonValue, std::less<>> fields;
    std::string error;  // why the line is not such an object; empty when it is

    // The field as a string, or none when it is missing or not a string.
    [[nodiscard]] std::optional<std::string_view> text(std::string_view key) const;
    // The field as a whole number from 0 up, or none.
    [[nodiscard]] std::optional<uint64_t> count(std::string_view key) const;
    // The field as a number of seconds, or none.
    [[nodiscard]] std::optional<double> seconds(std::string_view key) const;
    [[nodiscard]] const std::vector<std::string>* texts(std::string_view key) const;
};

// \uXXXX escapes above 0xFF are refused: the trace writes every byte it cannot print as \u00XX,
// so a text is bytes, not necessarily UTF-8.
[[nodiscard]] JsonLine read_json_line(std::string_view line);

}  // namespace devsim
