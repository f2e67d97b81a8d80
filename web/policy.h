// Who may ask what of the page's server: one pure function from a request's head to a verdict,
// judged before anything else of the request is read or done.
#pragma once

#include <string>
#include <string_view>

namespace web {

// The parts of a request's head the policy looks at.
struct Asked {
    std::string_view method;  // "GET", "POST", ...
    std::string_view target;  // the path with its query
    std::string_view host;    // the Host header
    std::string_view origin;  // the Origin header ("" when there is none)
    std::string_view cookie;  // the Cookie header
};

// What this server is: its token and its own address.
struct Own {
    std::string_view token;
    std::string_view host;    // "127.0.0.1:PORT"
    std::string_view origin;  // "http://127.0.0.1:PORT"
};

enum class Verdict {
    Serve,        // the request is the server's to answer
    SetCookie,    // the address with the token: 303 to "/" with the cookie
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
// The name of the cookie that carries the token.
inline constexpr std::string_view kCookie = "tessaro_token";

}  // namespace web
