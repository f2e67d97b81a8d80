#include "web/policy.h"

namespace web {

namespace {

// Compares without an early end, so the time taken tells nothing of the token.
bool same_secret(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned diff = 0;
    for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A query value as the page's encodeURIComponent wrote it ("+" too, as a form writes a space);
// a "%" without two hex digits after it stays as it is.
std::string percent_decoded(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        const int hi = s[i] == '%' && i + 2 < s.size() ? hex_digit(s[i + 1]) : -1;
        const int lo = hi >= 0 ? hex_digit(s[i + 2]) : -1;
        if (lo >= 0) {
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += s[i] == '+' ? ' ' : s[i];
        }
    }
    return out;
}

Judged refuse(Verdict v, int status, std::string why) {
    return {v, status, std::move(why), {}};
}

}  // namespace

std::string query_value(std::string_view target, std::string_view name) {
    const size_t q = target.find('?');
    if (q == std::string_view::npos) return {};
    std::string_view rest = target.substr(q + 1);
    while (!rest.empty()) {
        const size_t amp = rest.find('&');
        const std::string_view pair = rest.substr(0, amp);
        if (pair.substr(0, name.size() + 1) == std::string(name) + "=") {
            return percent_decoded(pair.substr(name.size() + 1));
        }
        if (amp == std::string_view::npos) break;
        rest.remove_prefix(amp + 1);
    }
    return {};
}

Judged judge(const Asked& asked, const Own& own) {
    // a name that leads here by another address (DNS rebinding) is not this server
    if (asked.host != own.host) return refuse(Verdict::WrongHost, 403, "wrong host");
    const std::string path(asked.target.substr(0, asked.target.find('?')));
    if (path.empty() || path[0] != '/' || path.find("..") != std::string::npos ||
        path.find('%') != std::string::npos || path.find('\\') != std::string::npos) {
        return refuse(Verdict::BadPath, 400, "bad path");
    }
    const bool read = asked.method == "GET" || asked.method == "HEAD";
    if (read) {
        for (const auto open : own.open_paths) {
            if (path == open) return {Verdict::Page, 200, {}, path};
        }
    }
    // the header only: a token in the address would reach logs and the browser's history
    if (!same_secret(asked.token, own.token))
        return refuse(Verdict::NoToken, 403, "no valid token");
    if (!read && asked.origin != own.origin) {
        return refuse(Verdict::WrongOrigin, 403, "wrong origin");
    }
    return {Verdict::Serve, 200, {}, path};
}

}  // namespace web
