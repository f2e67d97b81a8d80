// The page server's policy as a table: each row a request's head and the verdict it gets.
#include "web/policy.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <string_view>
#include <vector>

using web::Verdict;

TEST(WebPolicy, EveryRequestHeadGetsItsVerdict) {
    const std::string token = "0123456789abcdef0123456789abcdef";
    const std::string host = "127.0.0.1:8123", origin = "http://127.0.0.1:8123";
    const std::array<std::string_view, 2> open = {"/", "/app.js"};
    const web::Own own{token, host, origin, open};
    struct Row {
        const char* what;
        std::string method, target, host, origin, token;
        Verdict verdict;
    };
    const std::string off_by_one = token.substr(1) + "0";
    const std::vector<Row> rows = {
        {"the page, which needs no token", "GET", "/", host, "", "", Verdict::Page},
        {"a file of the page, with a query", "GET", "/app.js?v=1", host, "", "", Verdict::Page},
        {"an API read with the token", "GET", "/api/devices", host, "", token, Verdict::Serve},
        {"an install from the page", "POST", "/api/install", host, origin, token, Verdict::Serve},
        {"a page file written to", "POST", "/app.js", host, origin, "", Verdict::NoToken},
        {"another host name (DNS rebinding)", "GET", "/", "evil.example:8123", "", token,
         Verdict::WrongHost},
        {"localhost is not the address served", "GET", "/", "localhost:8123", "", token,
         Verdict::WrongHost},
        {"another port", "GET", "/api/devices", "127.0.0.1:8124", "", token, Verdict::WrongHost},
        {"no host", "GET", "/", "", "", token, Verdict::WrongHost},
        {"path traversal", "GET", "/../web/server.cpp", host, "", token, Verdict::BadPath},
        {"escaped path traversal", "GET", "/%2e%2e/etc/passwd", host, "", token, Verdict::BadPath},
        {"a backslash", "GET", "/a\\b", host, "", token, Verdict::BadPath},
        {"no leading slash", "GET", "api/devices", host, "", token, Verdict::BadPath},
        {"no token", "GET", "/api/devices", host, "", "", Verdict::NoToken},
        {"a token one digit off", "GET", "/api/devices", host, "", off_by_one, Verdict::NoToken},
        {"a token cut short", "GET", "/api/devices", host, "", token.substr(0, 31),
         Verdict::NoToken},
        {"the token in the address", "GET", "/api/devices?token=" + token, host, "", "",
         Verdict::NoToken},
        {"the live events without the token", "GET", "/api/events", host, "", "", Verdict::NoToken},
        {"an install from another origin", "POST", "/api/install", host, "http://evil.example",
         token, Verdict::WrongOrigin},
        {"an install without an origin", "POST", "/api/install", host, "", token,
         Verdict::WrongOrigin},
        {"a PUT from nowhere", "PUT", "/api/install", host, "", token, Verdict::WrongOrigin},
    };
    for (const auto& row : rows) {
        const web::Asked asked{row.method, row.target, row.host, row.origin, row.token};
        EXPECT_EQ(web::judge(asked, own).verdict, row.verdict) << row.what;
    }
}
