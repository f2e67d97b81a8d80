// Who may ask what of the page's server: one pure function from a request's head to a verdict,
// judged before anything else of the request is read or done.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace web {

// The header that carries the token. The page holds the token in its tab and sends it itself;
// no browser adds it on its own (a cookie it would hand to any server on 127.0.0.1), and a page
// of another origin cannot set it without this server's leave, which it never gives.
inline constexpr std::string_view kTokenHeader = "X-Tessaro-Token";

// The parts of a request's head the policy looks at.
struct Asked {
    std::string_view method;  // "GET", "POST", ...
    std::string_view target;  // the path with its query
    std::string_view host;    // the Host header
    std::string_view origin;  // the Origin header ("" when there is none)
    std::string_view token;   // the token header ("" when there is none)
};

// What this server is: its token, its own address, and the paths anyone may read (the page's
// own files, which hold nothing secret: the page learns the token from its address's fragment).
struct Own {
    std::string_view token;
    std::string_view host;    // "127.0.0.1:PORT"
    std::string_view origin;  // "http://127.0.0.1:PORT"
    std::span<const std::string_view> open_paths;
};

enum class Verdict {
    Page,         // one of the open paths
    Serve,        // the API, with the token: the session is the page's
    WrongHost,    // 403
    BadPath,      // 400
    NoToken,      // 403
    WrongOrigin,  // 403
};

struct Judged {
    Verdict verdict = Verdict::Serve;
    int status = 200;
    std::string why;   // for a refusal
    std::string path;  // the target without its query
};

[[nodiscard]] Judged judge(const Asked& asked, const Own& own);

// The value of `name` in a target's query, percent-decoded ("" when it has none).
[[nodiscard]] std::string query_value(std::string_view target, std::string_view name);

}  // namespace web
