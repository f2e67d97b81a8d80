// The page server's policy as a table: each row a request's head and the verdict it gets.
#include "web/policy.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using web::Verdict;

TEST(WebPolicy, EveryRequestHeadGetsItsVerdict) {
    const std::string token = "0123456789abcdef0123456789abcdef";
    const std::string cookie = "tessaro_token=" + token;
    const std::string host = "127.0.0.1:8123", origin = "http://127.0.0.1:8123";
    const web::Own own{token, host, origin};
    struct Row {
        const char* what;
        std::string method, target, host, origin, cookie;
        Verdict verdict;
    };
    const std::string query = "/?token=" + token;
    const std::string other_token = "/?token=" + token.substr(1) + "0";
    const std::vector<Row> rows = {
        {"the page with the cookie", "GET", "/", host, "", cookie, Verdict::Serve},
        {"an API read, the cookie among others", "GET", "/api/devices?x=1", host, "",
         "a=b; " + cookie + "; c=d", Verdict::Serve},
        {"an install from the page", "POST", "/api/install", host, origin, cookie, Verdict::Serve},
        {"the address with the token", "GET", query, host, "", "", Verdict::SetCookie},
        {"another host name (DNS rebinding)", "GET", "/", "evil.example:8123", "", cookie,
         Verdict::WrongHost},
        {"localhost is not the address served", "GET", "/", "localhost:8123", "", cookie,
         Verdict::WrongHost},
        {"no host", "GET", "/", "", "", cookie, Verdict::WrongHost},
        {"path traversal", "GET", "/../web/server.cpp", host, "", cookie, Verdict::BadPath},
        {"escaped path traversal", "GET", "/%2e%2e/etc/passwd", host, "", cookie, Verdict::BadPath},
        {"a backslash", "GET", "/a\\b", host, "", cookie, Verdict::BadPath},
        {"no leading slash", "GET", "api/devices", host, "", cookie, Verdict::BadPath},
        {"no token", "GET", "/api/devices", host, "", "", Verdict::NoToken},
        {"a wrong cookie", "GET", "/", host, "", "tessaro_token=00", Verdict::NoToken},
        {"a token one digit off", "GET", other_token, host, "", "", Verdict::NoToken},
        {"the token under another cookie name", "GET", "/", host, "", "x_tessaro_token=" + token,
         Verdict::NoToken},
        {"an install from another origin", "POST", "/api/install", host, "http://evil.example",
         cookie, Verdict::WrongOrigin},
        {"an install without an origin", "POST", "/api/install", host, "", cookie,
         Verdict::WrongOrigin},
        {"a PUT from nowhere", "PUT", "/api/install", host, "", cookie, Verdict::WrongOrigin},
    };
    for (const auto& row : rows) {
        const web::Asked asked{row.method, row.target, row.host, row.origin, row.cookie};
        EXPECT_EQ(web::judge(asked, own).verdict, row.verdict) << row.what;
    }
}
