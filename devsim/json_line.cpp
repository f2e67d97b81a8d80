#include "devsim/json_line.h"

#include <cctype>
#include <charconv>

#include "devsim/parse_number.h"

namespace devsim {

namespace {

class Reader {
  public:
    explicit Reader(std::string_view s) : s_(s) {}

    JsonLine object() {
        JsonLine line;
        blanks();
        if (!take('{')) return refuse(line, "not a JSON object");
        blanks();
        if (!take('}')) {
            for (;;) {
                blanks();
                std::string key;
                if (!string(key)) return refuse(line, "a key that is not a string");
                blanks();
                if (!take(':')) return refuse(line, "no ':' after a key");
                blanks();
                JsonValue value;
                if (!this->value(value)) return refuse(line, why_);
                if (!line.fields.emplace(std::move(key), std::move(value)).second) {
                    return refuse(line, "a key given twice");
                }
                blanks();
                if (take('}')) break;
                if (!take(',')) return refuse(line, "no ',' or '}' after a value");
            }
        }
        blanks();
        if (at_ < s_.size()) return refuse(line, "more after the object");
        return line;
    }

  private:
    static JsonLine& refuse(JsonLine& line, std::string why) {
        line.fields.clear();
        line.error = std::move(why);
        return line;
    }

    void blanks() {
        while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\r')) ++at_;
    }

    bool take(char c) {
        if (at_ >= s_.size() || s_[at_] != c) return false;
        ++at_;
        return true;
    }

    bool word(std::string_view w) {
        if (s_.substr(at_, w.size()) != w) return false;
        at_ += w.size();
        return true;
    }

    bool value(JsonValue& v) {
        if (at_ >= s_.size()) return fail("a value missing");
        const char c = s_[at_];
        if (c == '"') {
            v.kind = JsonValue::Kind::text;
            return string(v.text) || fail("a bad string");
        }
        if (c == '[') return array(v);
        if (word("true") || word("false")) {
            v.kind = JsonValue::Kind::boolean;
            v.text = c == 't' ? "true" : "false";
            return true;
        }
        if (word("null")) return true;
        return number(v);
    }

    bool array(JsonValue& v) {
        v.kind = JsonValue::Kind::texts;
        ++at_;
        blanks();
        if (take(']')) return true;
        for (;;) {
            blanks();
            std::string item;
            if (!string(item)) return fail("an array of other than strings");
            v.items.push_back(std::move(item));
            blanks();
            if (take(']')) return true;
            if (!take(',')) return fail("no ',' or ']' in an array");
        }
    }

    bool number(JsonValue& v) {
        const size_t start = at_;
        while (at_ < s_.size() &&
               (std::isdigit(static_cast<unsigned char>(s_[at_])) != 0 || s_[at_] == '-' ||
                s_[at_] == '+' || s_[at_] == '.' || s_[at_] == 'e' || s_[at_] == 'E')) {
            ++at_;
        }
        double d = 0;
        const char* first = s_.data() + start;
        const char* last = s_.data() + at_;
        auto [end, ec] = std::from_chars(first, last, d);
        if (start == at_ || ec != std::errc() || end != last) return fail("a bad value");
        v.kind = JsonValue::Kind::number;
        v.text = std::string(first, last);
        return true;
    }

    // a string's bytes, with its escapes undone
    bool string(std::string& out) {
        if (!take('"')) return false;
        while (at_ < s_.size()) {
            const char c = s_[at_++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at_ >= s_.size()) return false;
            const char e = s_[at_++];
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    out += e;
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u': {
                    auto code =
                        at_ + 4 <= s_.size() ? parse_hex32(s_.substr(at_, 4)) : std::nullopt;
                    if (!code || *code > 0xff) return false;
                    out += static_cast<char>(*code);
                    at_ += 4;
                    break;
                }
                default:
                    return false;
            }
        }
        return false;
    }

    bool fail(std::string why) {
        if (why_.empty()) why_ = std::move(why);
        return false;
    }

    std::string_view s_;
    size_t at_ = 0;
    std::string why_;
};

}  // namespace

JsonLine read_json_line(std::string_view line) {
    return Reader(line).object();
}

std::optional<std::string_view> JsonLine::text(std::string_view key) const {
    auto it = fields.find(key);
    if (it == fields.end() || it->second.kind != JsonValue::Kind::text) return std::nullopt;
    return it->second.text;
}

std::optional<uint64_t> JsonLine::count(std::string_view key) const {
    auto it = fields.find(key);
    if (it == fields.end() || it->second.kind != JsonValue::Kind::number) return std::nullopt;
    return parse_base<uint64_t>(it->second.text, 10);
}

std::optional<double> JsonLine::seconds(std::string_view key) const {
    auto it = fields.find(key);
    if (it == fields.end() || it->second.kind != JsonValue::Kind::number) return std::nullopt;
    double d = 0;
    const std::string& t = it->second.text;
    std::from_chars(t.data(), t.data() + t.size(), d);
    return d;
}

const std::vector<std::string>* JsonLine::texts(std::string_view key) const {
    auto it = fields.find(key);
    if (it == fields.end() || it->second.kind != JsonValue::Kind::texts) return nullptr;
    return &it->second.items;
}

}  // namespace devsim
