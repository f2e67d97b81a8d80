// tessaro-web's API against tessaro-devsim, as the page uses it: the refusals of every bad
// request (with nothing run), then installs on several devices at once, followed through the
// live events, with the menu answered through the API.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/process.h"
#include "support/temp_dir.h"
#include "usb/link_socket.h"
#include "web/asio.h"
#include "web/child.h"

namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using json = nlohmann::json;
using namespace std::chrono_literals;

constexpr char kVrx3[] = "067A0WEB0001";
constexpr char kFaulty[] = "067A0WEB0002";
constexpr char kRq3[] = "P00118WEB0001";

struct Reply {
    int status = 0;
    std::string body;
    std::string disposition;
};

// tessaro-web running against the given simulated devices, with a package for `model`
class Web {
  public:
    Web(support::Devsim& devsim, const std::string& model) {
        const std::string maker = std::string(TESSARO_TOOLS_DIR) + "/make_sample_package";
        const std::string pkg = (dir_.path() / "pkg").string();
        int status = 0;
        (void)web::run_for_output(
            {maker, {pkg, "--model", model, "--native", "--second", "--size", "8192"}, {}, {}},
            &status);
        const auto [k, v] = devsim.link_variable();
        // TESSARO_TEST_WEB: another build of the program (the Windows one), run by
        // TESSARO_TEST_EMULATOR (wine) when that is set
        std::string program = TESSARO_WEB_BIN;
        std::vector<std::string> args = {"--no-browser", pkg};
        if (const char* other = std::getenv("TESSARO_TEST_WEB");
            other != nullptr && *other != '\0') {
            program = other;
            emulated_ = true;
            if (const char* emu = std::getenv("TESSARO_TEST_EMULATOR");
                emu != nullptr && *emu != '\0') {
                args.insert(args.begin(), program);
                program = emu;
            }
        }
        // a temporary directory of the test's own, where the server makes its run directory,
        // and a state directory for the runs' reports
        std::filesystem::create_directories(temp());
        child_ = std::make_shared<web::Child>(
            web::ChildLaunch{program,
                             args,
                             dir_.path(),
                             {{k, v},
                              {"TMPDIR", temp().string()},
                              {"XDG_STATE_HOME", (dir_.path() / "state").string()}}});
        std::string first;
        char c;
        while (child_->read_out(&c, 1) == 1 && c != '\n') {
            if (c != '\r') first += c;  // a Windows program's line end is "\r\n"
        }
        const size_t colon = first.rfind(':'), slash = first.find('/', colon);
        port_ = std::stoi(first.substr(colon + 1, slash - colon - 1));
        token_ = first.substr(first.find("token=") + 6);
        address_ = first.substr(first.find("http://"));
        // the readers share the pipes and what they read, so that they can be left behind (below)
        drain_ = std::thread([child = child_, ends = ends_] {
            char buf[256];
            while (child->read_out(buf, sizeof buf) > 0) {
            }
            ends->ended(&Ends::out);
        });
        errors_ = std::thread([child = child_, ends = ends_] {
            char buf[256];
            for (size_t n; (n = child->read_err(buf, sizeof buf)) > 0;) ends->append(buf, n);
            ends->ended(&Ends::err);
        });
    }
    ~Web() {
        stop_events();
        interrupt();
        join_readers();
    }
    // Ctrl+C
    void interrupt() const {
        // wine hands a Unix signal to no console handler: it is only ended there
        if (!ended_) ::kill(static_cast<pid_t>(child_->id()), emulated_ ? SIGTERM : SIGINT);
    }
    bool emulated() const { return emulated_; }
    // Waits for the program's end: its exit status and what it wrote on standard error.
    std::pair<int, std::string> wait_end() {
        const int status = child_->wait();
        ended_ = true;
        join_readers();
        drain_ = std::thread([] {});
        errors_ = std::thread([] {});
        return {status, ends_->text()};
    }

    std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
    const std::string& token() const { return token_; }
    const std::string& address() const { return address_; }
    std::filesystem::path temp() const { return dir_.path() / "tmp"; }
    // where the runs' reports are kept
    std::filesystem::path reports() const { return dir_.path() / "state" / "tessaro-web"; }

    Reply request(http::verb verb, const std::string& target,
                  std::vector<std::pair<std::string, std::string>> headers,
                  const std::string& body = {}) const {
        asio::io_context io;
        tcp::socket s(io);
        s.connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port_)});
        http::request<http::string_body> req(verb, target, 11);
        for (const auto& [k, v] : headers) req.set(k, v);
        req.body() = body;
        req.prepare_payload();
        http::write(s, req);
        boost::beast::flat_buffer buf;
        http::response<http::string_body> res;
        http::read(s, buf, res);
        return {static_cast<int>(res.result_int()), res.body(),
                std::string(res[http::field::content_disposition])};
    }
    // A request as the page sends it: right host, the token's header, and the origin.
    Reply page(http::verb verb, const std::string& target, const std::string& body = {}) const {
        return request(
            verb, target,
            {{"Host", host()}, {"X-Tessaro-Token", token_}, {"Origin", "http://" + host()}}, body);
    }
    // Sends `bytes` as they are and gives what comes back until the server closes the
    // connection; "(still open)" follows when `wait` passed first.
    std::string raw(const std::string& bytes, std::chrono::milliseconds wait = 3000ms) const {
        asio::io_context io;
        tcp::socket s(io);
        s.connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port_)});
        boost::system::error_code ec;
        asio::write(s, asio::buffer(bytes), ec);  // a server that closed early cuts it short
        const timeval tv{static_cast<time_t>(wait.count() / 1000),
                         static_cast<suseconds_t>(wait.count() % 1000 * 1000)};
        ::setsockopt(s.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        std::string got;
        char buf[4096];
        ssize_t n;
        while ((n = ::recv(s.native_handle(), buf, sizeof buf, 0)) > 0) got.append(buf, n);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) got += "(still open)";
        return got;
    }
    // The live events, read on a thread of their own.
    void start_events() {
        events_thread_ = std::thread([this] {
            asio::io_context io;
            tcp::socket s(io);
            s.connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port_)});
            const std::string req = "GET /api/events HTTP/1.1\r\nHost: " + host() +
                                    "\r\nX-Tessaro-Token: " + token_ + "\r\n\r\n";
            asio::write(s, asio::buffer(req));
            {
                std::lock_guard lock(m_);
                events_socket_ = &s;
            }
            std::string pending;
            char buf[4096];
            boost::system::error_code ec;
            for (size_t n; (n = s.read_some(asio::buffer(buf), ec)) > 0 && !ec;) {
                pending.append(buf, n);
                for (size_t end; (end = pending.find("\n\n")) != std::string::npos;) {
                    const std::string block = pending.substr(0, end);
                    pending.erase(0, end + 2);
                    const size_t data = block.find("data: ");
                    if (data == std::string::npos) continue;
                    std::lock_guard lock(m_);
                    events_.push_back(json::parse(block.substr(data + 6)));
                    cv_.notify_all();
                }
            }
            std::lock_guard lock(m_);
            events_socket_ = nullptr;
        });
    }
    void stop_events() {
        if (!events_thread_.joinable()) return;
        {
            std::lock_guard lock(m_);
            if (events_socket_ != nullptr) {
                boost::system::error_code ec;
                events_socket_->shutdown(tcp::socket::shutdown_both, ec);
            }
        }
        events_thread_.join();
    }
    // Waits until an event from the `from`th on matches; returns it (null after the timeout).
    json wait_event(const std::function<bool(const json&)>& match,
                    std::chrono::seconds timeout = 60s, size_t from = 0) {
        std::unique_lock lock(m_);
        json found;
        cv_.wait_for(lock, timeout, [&] {
            for (size_t i = from; i < events_.size(); ++i) {
                const json& e = events_[i];
                if (match(e)) {
                    found = e;
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    std::vector<json> events() {
        std::lock_guard lock(m_);
        return events_;
    }

  private:
    support::TempDir dir_;
    // what the readers of the server's output and error share with the test
    struct Ends {
        std::mutex m;
        std::condition_variable cv;
        bool out = false, err = false;
        std::string text_;
        void append(const char* b, size_t n) {
            std::lock_guard lock(m);
            text_.append(b, n);
        }
        void ended(bool Ends::*which) {
            std::lock_guard lock(m);
            this->*which = true;
            cv.notify_all();
        }
        std::string text() {
            std::lock_guard lock(m);
            return text_;
        }
    };
    // Waits for both streams' end. Under wine, a program that the server started (a listing)
    // can outlive the server's end, hung, holding the server's standard error, which wine hands
    // it: once the server has ended, its streams get 10 s, and readers still blocked then are
    // left behind with the pipes they share (the wine tier's end kills such programs).
    void join_readers() {
        if (emulated_) {
            (void)child_->wait();
            ended_ = true;
            std::unique_lock lock(ends_->m);
            if (!ends_->cv.wait_for(lock, 10s, [this] { return ends_->out && ends_->err; })) {
                lock.unlock();
                drain_.detach();
                errors_.detach();
                return;
            }
        }
        drain_.join();
        errors_.join();
    }
    std::shared_ptr<web::Child> child_;
    std::shared_ptr<Ends> ends_ = std::make_shared<Ends>();
    int port_ = 0;
    std::string token_;
    std::string address_;
    std::thread drain_, errors_;
    bool ended_ = false;
    bool emulated_ = false;
    std::thread events_thread_;
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<json> events_;
    tcp::socket* events_socket_ = nullptr;
};

std::vector<std::string> vrx3(const char* name, const char* serial,
                              std::vector<std::string> extra = {}) {
    std::vector<std::string> d = {"--device", name,          "--var", "product=VRX3",
                                  "--var",    "verflag=Z07", "--var", "bootmode=main",
                                  "--var",    "systype=sing"};
    if (*serial == '\0') {
        d.insert(d.end(), {"--no-serial", "--var", "serialno=067A0WEB0003"});
    } else {
        d.insert(d.end(), {"--serial", serial});
    }
    d.insert(d.end(), extra.begin(), extra.end());
    return d;
}

// Where the simulated device `name` hangs: its socket, or its TCP address.
std::string place_of(const support::Devsim& devsim, const std::string& name) {
    if (devsim.link_variable().first == "TESSARO_DEVSIM_DIR") {
        return (devsim.socket_dir() / name).string();
    }
    std::istringstream in(devsim.greeting());
    for (std::string word, n, address; in >> word;) {
        // the listing names a TCP device as the link does
        if (word == "listening" && in >> n >> address && n == name) {
            return std::string(link_socket::kTcpPrefix) + address;
        }
    }
    return {};
}

// Waits until the device at `place` is listed (with `field` at `value`, when one is given).
bool listed(Web& w, const std::string& place, const std::string& field = {},
            const std::string& value = {}) {
    for (int i = 0; i < 100; ++i) {
        const json d = json::parse(w.page(http::verb::get, "/api/devices").body);
        for (const auto& dev : d.at("devices")) {
            if (dev.value("path", "") == place && (field.empty() || dev.value(field, "") == value))
                return true;
        }
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

// The commands the device `name` was sent.
std::vector<std::string> commands_of(const support::Devsim& devsim, const std::string& name) {
    std::vector<std::string> out;
    for (const auto& line : devsim.transcript()) {
        const json j = json::parse(line, nullptr, false);
        if (j.value("dev", "") == name && j.value("ev", "") == "command") {
            out.push_back(j.value("text", ""));
        }
    }
    return out;
}

json install(const std::string& place) {
    return json{{"path", place}};
}

// Only the listing's queries reached the devices: no install was started.
void expect_nothing_run(support::Devsim& devsim, Web& w) {
    for (const auto& c : devsim.commands()) {
        EXPECT_EQ(c.rfind("getvar:", 0), 0u) << c;
    }
    EXPECT_TRUE(json::parse(w.page(http::verb::get, "/api/devices").body)["runs"].empty());
}

}  // namespace

TEST(WebApi, BadRequestsAreRefusedWithNothingRun) {
    std::vector<std::string> devs = vrx3("a", kVrx3);
    support::Devsim devsim(devs);
    Web w(devsim, "vrx3");
    // another tessaro-web on this computer, on another port
    Web other(devsim, "vrx3");
    const std::string place = place_of(devsim, "a");
    ASSERT_TRUE(listed(w, place));
    const std::string host = w.host(), origin = "http://" + w.host(), token = w.token();
    const std::string install = ::install(place).dump();
    std::filesystem::create_directories(w.reports());
    support::write_file((w.reports() / "notes.txt").string(), "not a report");
    using H = std::vector<std::pair<std::string, std::string>>;
    struct Case {
        const char* what;
        const Web& to;
        http::verb verb;
        std::string target;
        H headers;
        std::string body;
        int status;
    };
    const std::vector<Case> cases = {
        {"the page's files need no token",
         w,
         http::verb::get,
         "/app.js",
         {{"Host", host}},
         "",
         200},
        {"another host name (DNS rebinding)",
         w,
         http::verb::get,
         "/api/devices",
         {{"Host", "evil.example:" + host.substr(10)}, {"X-Tessaro-Token", token}},
         "",
         403},
        {"no token", w, http::verb::get, "/api/devices", {{"Host", host}}, "", 403},
        {"a stolen cookie and no header",
         w,
         http::verb::get,
         "/api/devices",
         {{"Host", host}, {"Cookie", "tessaro_token=" + token}},
         "",
         403},
        {"the token in the address",
         w,
         http::verb::get,
         "/api/devices?token=" + token,
         {{"Host", host}},
         "",
         403},
        {"the first server's token at another",
         other,
         http::verb::get,
         "/api/devices",
         {{"Host", other.host()}, {"X-Tessaro-Token", token}},
         "",
         403},
        {"an install at another server with the first's cookie",
         other,
         http::verb::post,
         "/api/install",
         {{"Host", other.host()},
          {"Cookie", "tessaro_token=" + token},
          {"Origin", "http://" + other.host()}},
         install,
         403},
        {"an install without an origin",
         w,
         http::verb::post,
         "/api/install",
         {{"Host", host}, {"X-Tessaro-Token", token}},
         install,
         403},
        {"a preview without an origin",
         w,
         http::verb::post,
         "/api/preview",
         {{"Host", host}, {"X-Tessaro-Token", token}},
         install,
         403},
        {"a preview of a place that is not listed",
         w,
         http::verb::post,
         "/api/preview",
         {{"Host", host}, {"X-Tessaro-Token", token}, {"Origin", origin}},
         ::install("--help").dump(),
         403},
        {"escaped path traversal",
         w,
         http::verb::get,
         "/%2e%2e/etc/passwd",
         {{"Host", host}, {"X-Tessaro-Token", token}},
         "",
         400},
        {"a file that is not the page's",
         w,
         http::verb::get,
         "/main.cpp",
         {{"Host", host}, {"X-Tessaro-Token", token}},
         "",
         404},
        {"a place that is not listed",
         w,
         http::verb::post,
         "/api/install",
         {{"Host", host}, {"X-Tessaro-Token", token}, {"Origin", origin}},
         ::install("--help").dump(),
         403},
        {"no place: the installer would take any device",
         w,
         http::verb::post,
         "/api/install",
         {{"Host", host}, {"X-Tessaro-Token", token}, {"Origin", origin}},
         ::install("").dump(),
         403},
        {"a device named by its serial number",
         w,
         http::verb::post,
         "/api/install",
         {{"Host", host}, {"X-Tessaro-Token", token}, {"Origin", origin}},
         json{{"serial", kVrx3}}.dump(),
         400},
        {"a Stop with no install running",
         w,
         http::verb::post,
         "/api/stop",
         {{"Host", host}, {"X-Tessaro-Token", token}, {"Origin", origin}},
         ::install(place).dump(),
         400},
        {"not JSON",
         w,
         http::verb::post,
         "/api/install",
         {{"Host", host}, {"X-Tessaro-Token", token}, {"Origin", origin}},
         "path=" + place,
         400},
        {"the past runs without the token",
         w,
         http::verb::get,
         "/api/past-runs",
         {{"Host", host}},
         "",
         403},
        {"a report by a path",
         w,
         http::verb::get,
         "/api/report?name=..%2F..%2Fetc%2Fpasswd",
         {{"Host", host}, {"X-Tessaro-Token", token}},
         "",
         404},
        {"a report's name with a path in it",
         w,
         http::verb::get,
         "/api/report?name=tessaro-x%2F..%2F..%2Fopen.txt",
         {{"Host", host}, {"X-Tessaro-Token", token}},
         "",
         404},
        {"another file of the state directory",
         w,
         http::verb::get,
         "/api/report?name=notes.txt",
         {{"Host", host}, {"X-Tessaro-Token", token}},
         "",
         404},
        {"a choice with no menu waiting",
         w,
         http::verb::post,
         "/api/choice",
         {{"Host", host}, {"X-Tessaro-Token", token}, {"Origin", origin}},
         json{{"path", place}, {"key", "1"}}.dump(),
         400},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.to.request(c.verb, c.target, c.headers, c.body).status, c.status) << c.what;
    }
    // the token is judged on the head, before a body that never comes; a body past the limit is
    // not read
    const std::string head = "POST /api/install HTTP/1.1\r\nHost: " + host +
                             "\r\nOrigin: " + origin + "\r\nContent-Length: ";
    EXPECT_EQ(w.raw(head + "60000\r\n\r\n").substr(0, 12), "HTTP/1.1 403") << "no token, no body";
    EXPECT_EQ(w.raw(head + "1000000\r\nX-Tessaro-Token: " + token + "\r\n\r\n" +
                    std::string(100000, '{')),
              "")
        << "a body past 64 KiB";
    expect_nothing_run(devsim, w);

    // the address printed for manual use keeps the token in its fragment; the browser is
    // opened on a file only this user can read, in a directory only this user can enter, whose
    // name has nothing of the token
    EXPECT_EQ(w.address(), "http://" + host + "/#token=" + token);
    if (!w.emulated()) {
        size_t dirs = 0;
        for (const auto& d : std::filesystem::directory_iterator(w.temp())) {
            ++dirs;
            struct stat st {};
            ASSERT_EQ(::stat(d.path().c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0700u) << d.path();
            EXPECT_EQ(d.path().filename().string().find(token.substr(0, 8)), std::string::npos);
            const auto opener = d.path() / "open.html";
            ASSERT_EQ(::stat(opener.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0600u);
            EXPECT_NE(support::read_file(opener).find("/#token=" + token), std::string::npos);
        }
        EXPECT_EQ(dirs, 1u);
    }

    // it listens on the loopback address only
    asio::io_context io;
    for (const auto& entry : tcp::resolver(io).resolve(asio::ip::host_name(), "")) {
        const auto a = entry.endpoint().address();
        if (a.is_loopback()) continue;
        tcp::socket s(io);
        boost::system::error_code ec;
        s.connect({a, static_cast<unsigned short>(std::stoi(host.substr(10)))}, ec);
        EXPECT_TRUE(ec) << a.to_string();
    }
}

// Five readers: a VRX3, one failing its device check, an RQ3, one without a serial number (whose
// downloads are slowed, so it still writes at the Ctrl+C) and a twin with the first one's serial
// number. Each is installed by its place; the twin is never touched.
TEST(WebApi, InstallsOnSeveralDevicesAtOnce) {
    std::vector<std::string> devs = vrx3("vrx3", kVrx3);
    auto add = [&devs](const std::vector<std::string>& d) {
        devs.insert(devs.end(), d.begin(), d.end());
    };
    add(vrx3("faulty", kFaulty, {"--fault", "check:*=fail:crc mismatch"}));
    add({"--device", "rq3", "--serial", kRq3, "--var", "product=RQ3", "--var", "verflag=Z05"});
    add(vrx3("blank", "", {"--fault", "download:*=silence:700"}));
    add(vrx3("twin", kVrx3));
    support::Devsim devsim(devs);
    Web w(devsim, "vrx3");
    // reports of earlier runs beyond the 20 kept, and another program's file: the oldest
    // reports make room, nothing else is touched
    std::filesystem::create_directories(w.reports());
    for (int i = 10; i < 35; ++i) {
        support::write_file(
            (w.reports() / ("tessaro-20000101-0000" + std::to_string(i) + "-old.txt")).string(),
            "tessaro-installer report\n");
    }
    support::write_file((w.reports() / "notes.txt").string(), "kept");
    std::map<std::string, std::string> at;
    for (const char* name : {"vrx3", "faulty", "rq3", "blank", "twin"}) {
        at[name] = place_of(devsim, name);
        ASSERT_TRUE(listed(w, at[name])) << name;
    }
    w.start_events();
    auto post = [&w](const std::string& what, const json& body) {
        return w.page(http::verb::post, what, body.dump());
    };
    auto end_of = [&w](const std::string& place, size_t from = 0) {
        return w.wait_event(
            [&](const json& e) {
                return e.value("type", "") == "end" && e.value("path", "") == place;
            },
            120s, from);
    };

    // the package names another model than the RQ3 device's: refused before it is touched
    const Reply other = post("/api/install", install(at["rq3"]));
    EXPECT_EQ(other.status, 403);
    EXPECT_NE(other.body.find("vrx3"), std::string::npos) << other.body;

    for (const char* name : {"vrx3", "faulty", "blank"}) {
        ASSERT_EQ(post("/api/install", install(at[name])).status, 200) << name;
    }
    // one install per device
    EXPECT_EQ(post("/api/install", install(at["vrx3"])).status, 403);

    for (const char* name : {"vrx3", "faulty", "blank"}) {
        const json menu = w.wait_event([&](const json& e) {
            return e.value("path", "") == at[name] && e.value("kind", "") == "menu";
        });
        ASSERT_FALSE(menu.is_null()) << name;
        // the installer's five, and both systems
        EXPECT_EQ(menu.at("choices").size(), 6u);
        // a digit that is not among the choices is refused; 5 (both systems) is taken
        EXPECT_EQ(post("/api/choice", {{"path", at[name]}, {"key", "9"}}).status, 400);
        EXPECT_EQ(post("/api/choice", {{"path", at[name]}, {"key", "5"}}).status, 200);
    }
    EXPECT_EQ(end_of(at["vrx3"]).value("state", ""), "done");
    EXPECT_EQ(end_of(at["faulty"]).value("state", ""), "failed");
    // the device read back another checksum of the first table it was sent
    EXPECT_EQ(end_of(at["faulty"]).value("cause", ""), "write-refused");
    EXPECT_EQ(end_of(at["faulty"]).value("detail", ""), "mbr");
    EXPECT_EQ(end_of(at["blank"]).value("state", ""), "done");

    size_t files = 0, percents = 0, errors = 0, blank_files = 0;
    for (const auto& e : w.events()) {
        if (e.value("type", "") != "run") continue;
        files += e.value("path", "") == at["vrx3"] && e.value("kind", "") == "file";
        percents += e.value("path", "") == at["vrx3"] && e.value("kind", "") == "percent";
        errors += e.value("path", "") == at["faulty"] && e.value("kind", "") == "error";
        blank_files += e.value("path", "") == at["blank"] && e.value("kind", "") == "file";
    }
    EXPECT_EQ(files, 7u);
    EXPECT_GE(percents, 7u);
    EXPECT_GT(errors, 0u);
    EXPECT_EQ(blank_files, 7u);

    // the trace followed: the plan's bytes all went out in data phases, and the trace's last
    // line reaches the page before the run's end
    int64_t planned = -1, sent = 0;
    size_t last_trace = 0, end_at = 0;
    const auto all = w.events();
    for (size_t i = 0; i < all.size(); ++i) {
        const json& e = all[i];
        if (e.value("path", "") != at["vrx3"]) continue;
        if (e.value("type", "") == "end") end_at = i;
        if (e.value("type", "") != "trace") continue;
        last_trace = i;
        if (e.value("ev", "") == "plan") planned = e.value("bytes", int64_t{-1});
        if (e.value("ev", "") == "data") sent += e.value("sent", int64_t{0});
    }
    EXPECT_GT(planned, 0);
    EXPECT_GE(sent, planned);
    EXPECT_GT(last_trace, 0u);
    EXPECT_LT(last_trace, end_at);

    // what each device was sent: both systems, the markers, the reboot; the twin only the
    // listing's queries
    for (const char* name : {"vrx3", "blank"}) {
        const auto commands = commands_of(devsim, name);
        auto sent = [&](const std::string& c) {
            return std::find(commands.begin(), commands.end(), c) != commands.end();
        };
        EXPECT_TRUE(sent("setvar:systype dual") || sent("setvar:systype dual ")) << name;
        EXPECT_TRUE(sent("reboot")) << name;
    }
    for (const auto& c : commands_of(devsim, "twin")) EXPECT_EQ(c.rfind("getvar:", 0), 0u) << c;

    // the run's console output and its trace, as the page saves them, asked by the place
    // percent-encoded; the download's name is the serial number's, cleaned
    std::string escaped;
    for (const char c : at["vrx3"]) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
        escaped += hex;
    }
    const Reply log = w.page(http::verb::get, "/api/log?path=" + escaped);
    EXPECT_NE(log.body.find("###完成！"), std::string::npos);
    EXPECT_EQ(log.disposition, "attachment; filename=\"tessaro-" + std::string(kVrx3) + ".txt\"");
    const Reply trace = w.page(http::verb::get, "/api/trace?path=" + escaped);
    EXPECT_NE(trace.body.find("\"success\""), std::string::npos);
    EXPECT_EQ(w.page(http::verb::get, "/api/log?path=" + at["blank"]).disposition,
              "attachment; filename=\"tessaro-device.txt\"");

    // each run's report, kept in the state directory: the last 20 runs, listed newest first
    const json past = json::parse(w.page(http::verb::get, "/api/past-runs").body);
    ASSERT_GE(past.at("runs").size(), 3u) << past;
    std::multiset<std::string> outcomes;
    for (size_t i = 0; i < 3; ++i) outcomes.insert(past["runs"][i].value("outcome", ""));
    EXPECT_EQ(outcomes, (std::multiset<std::string>{"error exit", "success", "success"}));
    // (under wine the state directory is the prefix's own)
    if (!w.emulated()) {
        ASSERT_EQ(past.at("runs").size(), 20u) << past;
        EXPECT_EQ(past["runs"][19].value("name", ""), "tessaro-20000101-000018-old.txt");
        EXPECT_EQ(support::read_file(w.reports() / "notes.txt"), "kept");
        EXPECT_FALSE(std::filesystem::exists(w.reports() / "tessaro-20000101-000017-old.txt"));
    }
    const Reply report = w.page(http::verb::get, "/api/report?path=" + escaped);
    EXPECT_EQ(report.body.rfind("tessaro-installer report\ndate: 20", 0), 0u) << report.body;
    for (const std::string& part :
         {"\ndevice: model=vrx3 loader=Z07 system=0 variant=4GB place=" + at["vrx3"] +
              " serial=" + kVrx3 + "\n",
          "\narguments: 1 -1 " + at["vrx3"] + "\n--- console ---\n", std::string("###完成！"),
          std::string("\n--- trace ---\n{\"t\":"), std::string("\"outcome\":\"success\"")}) {
        EXPECT_NE(report.body.find(part), std::string::npos) << part << "\n" << report.body;
    }
    const std::regex named(
        R"re(attachment; filename="(tessaro-[0-9]{8}-[0-9]{6}-067A0WEB0001\.txt)")re");
    std::smatch name;
    ASSERT_TRUE(std::regex_match(report.disposition, name, named)) << report.disposition;
    EXPECT_EQ(w.page(http::verb::get, "/api/report?name=" + name[1].str()).body, report.body);

    // a Stop while it waits at its menu: the installer ends with its own note
    size_t before = w.events().size();
    ASSERT_EQ(post("/api/install", install(at["vrx3"])).status, 200);
    auto menu_of = [&](const std::string& place) {
        return w.wait_event(
            [&](const json& e) {
                return e.value("path", "") == place && e.value("kind", "") == "menu";
            },
            60s, before);
    };
    ASSERT_FALSE(menu_of(at["vrx3"]).is_null());
    EXPECT_EQ(post("/api/stop", install(at["vrx3"])).status, 200);
    const json stopped = end_of(at["vrx3"], before);
    EXPECT_EQ(stopped.value("state", ""), "stopped") << stopped;
    EXPECT_NE(stopped.value("note", "").find("stopped: nothing has been written"),
              std::string::npos)
        << stopped;
    // the stopped run's report has the note too
    EXPECT_NE(w.page(http::verb::get, "/api/report?path=" + at["vrx3"])
                  .body.find("stopped: nothing has been written"),
              std::string::npos);

    // Ctrl+C while one install waits at its menu and another writes: the first is ended as by
    // Stop, no new install is taken, the writing one is named and goes on to its next wait;
    // then the server ends (a console's Ctrl+C: not under wine)
    if (w.emulated()) return;
    before = w.events().size();
    for (const char* name : {"faulty", "blank"}) {
        ASSERT_EQ(post("/api/install", install(at[name])).status, 200) << name;
        ASSERT_FALSE(menu_of(at[name]).is_null()) << name;
    }
    EXPECT_EQ(post("/api/choice", {{"path", at["blank"]}, {"key", "5"}}).status, 200);
    ASSERT_FALSE(w.wait_event(
                      [&](const json& e) {
                          return e.value("path", "") == at["blank"] &&
                                 e.value("kind", "") == "file";
                      },
                      60s, before)
                     .is_null());
    w.interrupt();
    ASSERT_FALSE(w.wait_event([](const json& e) { return e.value("stopping", false); }, 10s, before)
                     .is_null());
    EXPECT_EQ(end_of(at["faulty"], before).value("state", ""), "stopped");
    const Reply refused = post("/api/install", install(at["vrx3"]));
    EXPECT_EQ(refused.status, 403);
    EXPECT_NE(refused.body.find("stopping"), std::string::npos) << refused.body;
    const json writer = end_of(at["blank"], before);
    EXPECT_TRUE(writer.value("state", "") == "done" || writer.value("state", "") == "stopped")
        << writer;
    const auto [status, err] = w.wait_end();
    EXPECT_EQ(status, 0);
    EXPECT_NE(err.find("an install writes to the device at " + at["blank"]), std::string::npos)
        << err;
}

// Preview on a VRX3 from loader 8.0: the device is only asked, and the plan of the digit chosen
// is kept; Install this plan answers the real run's menu with that digit. Then the device comes
// back changed (another loader, another system): the menu is left to the person.
TEST(WebApi, PreviewThenInstallThisPlan) {
    auto device = [](const std::string& verflag, const std::string& systype) {
        return std::vector<std::string>{"--device", "a",
                                        "--serial", kVrx3,
                                        "--var",    "product=VRX3",
                                        "--var",    "verflag=" + verflag,
                                        "--var",    "bootmode=main",
                                        "--var",    "systype=" + systype};
    };
    support::Devsim devsim(device("8.0", "sing"));
    Web w(devsim, "vrx3");
    const std::string place = place_of(devsim, "a");
    ASSERT_TRUE(listed(w, place));
    w.start_events();
    auto post = [&w](const std::string& what, const json& body) {
        return w.page(http::verb::post, what, body.dump()).status;
    };
    auto next = [&](const std::string& type, const std::string& kind, size_t from) {
        return w.wait_event(
            [&](const json& e) {
                return e.value("path", "") == place && e.value("type", "") == type &&
                       (kind.empty() || e.value("kind", "") == kind);
            },
            120s, from);
    };
    const json as_planned = {{"path", place}, {"plan", true}};
    EXPECT_EQ(post("/api/install", as_planned), 403) << "no preview yet";

    ASSERT_EQ(post("/api/preview", install(place)), 200);
    ASSERT_FALSE(next("run", "menu", 0).is_null());
    ASSERT_EQ(post("/api/choice", {{"path", place}, {"key", "2"}}), 200);
    const json preview = next("preview", "", 0);
    EXPECT_EQ(next("end", "", 0).value("state", ""), "done");
    ASSERT_FALSE(preview.is_null());
    EXPECT_EQ(preview.value("key", ""), "2");
    const json plan = preview["plans"]["2"];
    EXPECT_EQ(plan["loader"].value("from", ""), "8.0") << plan;
    EXPECT_EQ(plan["loader"].value("to", ""), "Z07") << plan;
    EXPECT_EQ(plan["loader"]["stages"].size(), 5u) << plan;
    EXPECT_TRUE(plan.value("wipe", false)) << plan;
    EXPECT_TRUE(plan.value("closing_reboot", false)) << plan;
    EXPECT_GT(plan.value("bytes", 0), 7 * 8192) << plan;
    for (const auto& c : devsim.commands()) EXPECT_EQ(c.rfind("getvar:", 0), 0u) << c;

    size_t before = w.events().size();
    ASSERT_EQ(post("/api/install", as_planned), 200);
    const json planned = next("planned", "", before);
    EXPECT_TRUE(planned.value("same", false)) << planned;
    EXPECT_EQ(next("run", "choice", before).value("value", ""), "2");
    const json done = next("end", "", before);
    EXPECT_EQ(done.value("state", ""), "done") << done;
    EXPECT_FALSE(done.contains("preview"));
    // the partitions the real run wrote are the plan's
    std::set<std::string> wrote, planned_parts;
    for (const auto& c : devsim.commands()) {
        if (c.rfind("flash:", 0) == 0) wrote.insert(c.substr(6, c.find(':', 6) - 6));
    }
    for (const auto& s : plan["loader"]["stages"]) planned_parts.insert(s.value("partition", ""));
    for (const auto& f : plan["writes"]) planned_parts.insert(f.value("partition", ""));
    EXPECT_EQ(wrote, planned_parts);

    struct Changed {
        const char* what;
        const char* verflag;
        const char* systype;
        const char* field;  // of the listing, which shows the change
        const char* value;
        const char* why;
    };
    for (const Changed& c :
         {Changed{"another loader", "Z07", "sing", "loader", "Z07", "loader"},
          Changed{"another system", "8.0", "tess", "system", "second", "menu"}}) {
        devsim.restart(device(c.verflag, c.systype));
        ASSERT_TRUE(listed(w, place, c.field, c.value)) << c.what;
        before = w.events().size();
        ASSERT_EQ(post("/api/install", as_planned), 200) << c.what;
        const json changed = next("planned", "", before);
        EXPECT_FALSE(changed.value("same", true)) << c.what << changed;
        EXPECT_NE(changed["why"].value("en", "").find(c.why), std::string::npos) << changed;
        // it waits at the menu, unanswered, until the person chooses (here: a Stop)
        EXPECT_TRUE(w.wait_event(
                         [&](const json& e) {
                             return e.value("path", "") == place && e.value("kind", "") == "choice";
                         },
                         2s, before)
                        .is_null())
            << c.what;
        EXPECT_EQ(post("/api/stop", install(place)), 200) << c.what;
        EXPECT_EQ(next("end", "", before).value("state", ""), "stopped") << c.what;
        for (const auto& cmd : devsim.commands()) EXPECT_EQ(cmd.rfind("getvar:", 0), 0u) << cmd;
    }
}
