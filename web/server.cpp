#include "web/server.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "web/asio.h"
#include "web/child.h"
#include "web/package.h"
#include "web/page_files.h"
#include "web/runs.h"

namespace web {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using json = nlohmann::json;
using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

namespace {

constexpr std::string_view kCookie = "tessaro_token";

std::string query_value(std::string_view target, std::string_view name) {
    const size_t q = target.find('?');
    if (q == std::string_view::npos) return {};
    std::string_view rest = target.substr(q + 1);
    while (!rest.empty()) {
        const size_t amp = rest.find('&');
        const std::string_view pair = rest.substr(0, amp);
        if (pair.substr(0, name.size() + 1) == std::string(name) + "=") {
            return std::string(pair.substr(name.size() + 1));
        }
        if (amp == std::string_view::npos) break;
        rest.remove_prefix(amp + 1);
    }
    return {};
}

std::string cookie_value(std::string_view cookies, std::string_view name) {
    while (!cookies.empty()) {
        const size_t semi = cookies.find(';');
        std::string_view c = cookies.substr(0, semi);
        while (!c.empty() && c.front() == ' ') c.remove_prefix(1);
        if (c.substr(0, name.size() + 1) == std::string(name) + "=") {
            return std::string(c.substr(name.size() + 1));
        }
        if (semi == std::string_view::npos) break;
        cookies.remove_prefix(semi + 1);
    }
    return {};
}

// Compares without an early end, so the time taken tells nothing of the token.
bool same_secret(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned diff = 0;
    for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

std::string_view content_type(std::string_view path) {
    if (path.ends_with(".html")) return "text/html; charset=utf-8";
    if (path.ends_with(".js")) return "text/javascript; charset=utf-8";
    if (path.ends_with(".css")) return "text/css; charset=utf-8";
    return "application/octet-stream";
}

class Server;

// One HTTP connection; after GET /api/events it carries the live events until it closes.
class Session : public std::enable_shared_from_this<Session> {
  public:
    Session(tcp::socket socket, Server& server) : stream_(std::move(socket)), server_(server) {}
    void start() { read(); }
    // Queues one Server-Sent Event on a live-event connection.
    void push(const std::string& data);
    void close() {
        beast::error_code ec;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ec);
    }
    // Closes once what is queued has gone out: a page is told the last events before the end.
    void finish() {
        closing_ = true;
        if (!writing_) close();
    }

  private:
    void read();
    void send(const std::shared_ptr<Response>& res);
    void start_events();
    void write_next();
    void watch_close();

    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    Request req_;
    Server& server_;
    std::deque<std::string> queue_;
    bool writing_ = false;
    std::array<char, 64> sink_{};
    bool closing_ = false;
};

class Server {
  public:
    Server(asio::io_context& io, ServerOptions options)
        : io_(io), options_(std::move(options)), acceptor_(io), signals_(io, SIGINT, SIGTERM) {}
    // the runs' traces go with the server: the page that could save them is gone too
    ~Server() {
        std::error_code ec;
        if (!run_dir_.empty()) std::filesystem::remove_all(run_dir_, ec);
    }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    int start();
    void on_request(const std::shared_ptr<Session>& session, Request& req,
                    std::shared_ptr<Response>& res);
    void subscribe(const std::shared_ptr<Session>& s);
    void publish(const json& j);
    void forget(Session* s);
    void stop_listing();

  private:
    void accept();
    void wait_signal();
    void list_loop();
    void take_listing(const std::string& out);
    [[nodiscard]] json devices_json() const;
    [[nodiscard]] json package_json() const;
    void install(const Request& req, Response& res);
    void choose(const Request& req, Response& res);
    void maybe_finish();

    asio::io_context& io_;
    ServerOptions options_;
    tcp::acceptor acceptor_;
    asio::signal_set signals_;
    std::string token_ = random_hex(16);
    std::string host_;    // "127.0.0.1:PORT"
    std::string origin_;  // "http://127.0.0.1:PORT"
    std::vector<std::weak_ptr<Session>> subscribers_;
    json devices_ = json::array();   // the last listing's devices that answered
    json problems_ = json::array();  // and those that could not be opened
    std::map<std::string, std::unique_ptr<Run>> runs_;
    std::filesystem::path run_dir_;
    bool stopping_ = false;
    bool finished_ = false;
    asio::steady_timer stop_timer_{io_};

    std::thread lister_;
    std::mutex lister_mutex_;
    std::condition_variable lister_wake_;
    bool lister_stop_ = false;
};

void Session::read() {
    req_ = {};
    http::async_read(stream_, buffer_, req_,
                     [self = shared_from_this()](beast::error_code ec, size_t) {
                         if (ec) {
                             self->server_.forget(self.get());
                             return;
                         }
                         auto res = std::make_shared<Response>();
                         self->server_.on_request(self, self->req_, res);
                         if (res) {
                             self->send(res);
                         } else {
                             self->start_events();
                         }
                     });
}

void Session::send(const std::shared_ptr<Response>& res) {
    res->version(req_.version());
    res->keep_alive(req_.keep_alive());
    res->set(http::field::cache_control, "no-store");
    res->set("X-Content-Type-Options", "nosniff");
    res->prepare_payload();
    http::async_write(stream_, *res,
                      [self = shared_from_this(), res](beast::error_code ec, size_t) {
                          if (ec || !res->keep_alive()) {
                              self->close();
                              return;
                          }
                          self->read();
                      });
}

void Session::start_events() {
    queue_.push_front(
        "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
        "Connection: keep-alive\r\n\r\n");
    server_.subscribe(shared_from_this());
    if (!writing_) write_next();
    watch_close();
}

// The page closing its end is seen as a read that fails; anything it sends is dropped.
void Session::watch_close() {
    stream_.socket().async_read_some(asio::buffer(sink_),
                                     [self = shared_from_this()](beast::error_code ec, size_t) {
                                         if (ec) {
                                             self->server_.forget(self.get());
                                             self->close();
                                             return;
                                         }
                                         self->watch_close();
                                     });
}

void Session::push(const std::string& data) {
    queue_.push_back("data: " + data + "\n\n");
    if (!writing_) write_next();
}

void Session::write_next() {
    if (queue_.empty()) {
        writing_ = false;
        if (closing_) close();
        return;
    }
    writing_ = true;
    auto chunk = std::make_shared<std::string>(std::move(queue_.front()));
    queue_.pop_front();
    asio::async_write(stream_.socket(), asio::buffer(*chunk),
                      [self = shared_from_this(), chunk](beast::error_code ec, size_t) {
                          if (ec) {
                              self->writing_ = false;
                              self->queue_.clear();
                              return;
                          }
                          self->write_next();
                      });
}

int Server::start() {
    beast::error_code ec;
    const tcp::endpoint at(asio::ip::make_address_v4("127.0.0.1"), options_.port);
    acceptor_.open(at.protocol(), ec);
    if (!ec) acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) acceptor_.bind(at, ec);
    if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        std::fprintf(stderr, "tessaro-web: cannot listen on 127.0.0.1:%u: %s\n", options_.port,
                     ec.message().c_str());
        return 1;
    }
    const unsigned port = acceptor_.local_endpoint().port();
    host_ = "127.0.0.1:" + std::to_string(port);
    origin_ = "http://" + host_;
    run_dir_ = std::filesystem::temp_directory_path() / ("tessaro-web-" + token_.substr(0, 8));
    std::error_code made;
    std::filesystem::create_directories(run_dir_, made);

    const std::string url = origin_ + "/?token=" + token_;
    std::printf("tessaro-web: %s\npackage: %s\nCtrl+C stops it.\n", url.c_str(),
                options_.package_dir.string().c_str());
    std::fflush(stdout);
    if (options_.open_browser && !open_browser(url)) {
        std::fprintf(stderr, "tessaro-web: no browser could be started; open the address above\n");
    }
    accept();
    wait_signal();
    lister_ = std::thread([this] { list_loop(); });
    return 0;
}

void Server::accept() {
    acceptor_.async_accept([this](beast::error_code ec, tcp::socket socket) {
        if (ec) return;  // the acceptor was closed
        std::make_shared<Session>(std::move(socket), *this)->start();
        accept();
    });
}

void Server::wait_signal() {
    signals_.async_wait([this](beast::error_code ec, int) {
        if (ec) return;
        stopping_ = true;
        maybe_finish();
        if (!io_.stopped()) wait_signal();
    });
}

// Ends the server once it was asked to and no install runs; says what still runs otherwise.
void Server::maybe_finish() {
    if (!stopping_) return;
    std::string running;
    for (const auto& [serial, run] : runs_) {
        if (run->running()) running += " " + serial;
    }
    if (!running.empty()) {
        std::fprintf(stderr,
                     "tessaro-web: an install still runs on%s; it is never broken off, so the "
                     "server stops when it ends\n",
                     running.c_str());
        return;
    }
    if (finished_) return;
    finished_ = true;
    beast::error_code ec;
    acceptor_.close(ec);
    for (auto& w : subscribers_) {
        if (auto s = w.lock()) s->finish();
    }
    stop_listing();
    // the live events' last lines go out on loopback well within this
    stop_timer_.expires_after(std::chrono::milliseconds(300));
    stop_timer_.async_wait([this](beast::error_code) { io_.stop(); });
}

void Server::stop_listing() {
    {
        std::lock_guard lock(lister_mutex_);
        lister_stop_ = true;
    }
    lister_wake_.notify_all();
    if (lister_.joinable()) lister_.join();
}

void Server::list_loop() {
    ChildLaunch launch{options_.installer, {"--list", "--json"}, options_.package_dir, {}};
    std::unique_lock lock(lister_mutex_);
    while (!lister_stop_) {
        lock.unlock();
        int status = 0;
        std::string out;
        try {
            out = run_for_output(launch, &status);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "tessaro-web: listing the devices: %s\n", e.what());
        }
        asio::post(io_, [this, out = std::move(out)] { take_listing(out); });
        lock.lock();
        lister_wake_.wait_for(lock, std::chrono::seconds(2), [this] { return lister_stop_; });
    }
}

void Server::take_listing(const std::string& out) {
    json devices = json::array();
    json problems = json::array();
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        const json j = json::parse(line, nullptr, false);
        if (!j.is_object()) continue;
        if (j.contains("serial")) {
            devices.push_back(j);
        } else if (j.contains("error")) {
            problems.push_back(j);
        }
    }
    // a device being installed is shown as the listing last saw it: while its install holds it
    // (or reboots it) the listing cannot tell anything of it. It is also busy for the listing,
    // which cannot tell it from one another program holds: busy devices wait until no install runs
    for (const auto& [serial, run] : runs_) {
        if (!run->running()) continue;
        json others = json::array();
        for (auto& p : problems) {
            if (p.value("error", "") != "busy") others.push_back(std::move(p));
        }
        problems = std::move(others);
        json kept;
        for (const auto& d : devices_) {
            if (d.value("serial", "") == serial) kept = d;
        }
        json rest = json::array();
        for (auto& d : devices) {
            if (d.value("serial", "") != serial) rest.push_back(std::move(d));
        }
        if (!kept.is_null()) rest.push_back(kept);
        devices = std::move(rest);
    }
    if (devices == devices_ && problems == problems_) return;
    devices_ = std::move(devices);
    problems_ = std::move(problems);
    publish(devices_json());
}

json Server::devices_json() const {
    json runs = json::object();
    for (const auto& [serial, run] : runs_) {
        runs[serial] = {{"state", run->state()}, {"running", run->running()}};
    }
    return {{"type", "devices"}, {"devices", devices_}, {"problems", problems_}, {"runs", runs}};
}

json Server::package_json() const {
    const Package p = read_package(options_.package_dir);
    json images = json::array();
    for (const auto& i : p.images) {
        images.push_back(
            {{"name", i.name}, {"size", i.size}, {"signature", signature_name(i.signature)}});
    }
    return {{"dir", p.dir.string()},
            {"model", p.model},
            {"native", p.native},
            {"second", p.second},
            {"images", images}};
}

void Server::subscribe(const std::shared_ptr<Session>& s) {
    subscribers_.push_back(s);
    // a page that comes (or comes back) is given the whole state first
    s->push(devices_json().dump());
    for (const auto& [serial, run] : runs_) {
        for (const auto& j : run->history()) s->push(j.dump());
    }
}

void Server::forget(Session* s) {
    std::erase_if(subscribers_, [s](const std::weak_ptr<Session>& w) {
        auto p = w.lock();
        return !p || p.get() == s;
    });
}

void Server::publish(const json& j) {
    const std::string data = j.dump();
    for (auto& w : subscribers_) {
        if (auto s = w.lock()) s->push(data);
    }
}

void Server::install(const Request& req, Response& res) {
    const json body = json::parse(req.body(), nullptr, false);
    if (!body.is_object() || !body.contains("serial") || !body["serial"].is_string()) {
        res.result(http::status::bad_request);
        res.body() = "a JSON object with the device's serial number is expected";
        return;
    }
    const std::string serial = body["serial"];
    const json* device = nullptr;
    for (const auto& d : devices_) {
        if (d.value("serial", "") == serial) device = &d;
    }
    auto refuse = [&res](std::string why) {
        res.result(http::status::forbidden);
        res.body() = std::move(why);
    };
    // only a device of the current listing: the serial is never a text the installer is
    // handed unchecked
    if (device == nullptr) return refuse("no device with this serial number is listed");
    if (auto r = runs_.find(serial); r != runs_.end() && r->second->running()) {
        return refuse("an install already runs on this device");
    }
    // the model alone: the images' signatures are the page's to show, and reading them whole
    // here would hold up every other event while they are read
    const std::string model = package_model(options_.package_dir);
    if (!package_fits(model, device->value("model", ""))) {
        return refuse("the package is for " + (model.empty() ? std::string("no model") : model) +
                      ", the device is a " + device->value("model", "device of unknown model"));
    }
    const auto trace = run_dir_ / (serial + "-trace.jsonl");
    std::error_code ec;
    std::filesystem::remove(trace, ec);
    ChildLaunch launch{options_.installer,
                       {"1", "-1", serial},
                       options_.package_dir,
                       {{"TESSARO_TRACE", trace.string()}}};
    try {
        runs_.erase(serial);  // a finished run of this device: its threads have ended
        runs_[serial] = std::make_unique<Run>(
            serial, launch, Run::Files{run_dir_ / (serial + ".log"), trace},
            [this](std::function<void()> task) { asio::post(io_, std::move(task)); },
            [this](const json& j) {
                publish(j);
                if (j.value("type", "") == "end") {
                    publish(devices_json());
                    maybe_finish();
                }
            });
    } catch (const std::exception& e) {
        runs_.erase(serial);
        res.result(http::status::internal_server_error);
        res.body() = e.what();
        return;
    }
    publish(devices_json());
    res.result(http::status::ok);
    res.set(http::field::content_type, "application/json");
    res.body() = json{{"serial", serial}}.dump();
}

void Server::choose(const Request& req, Response& res) {
    const json body = json::parse(req.body(), nullptr, false);
    const bool ok = body.is_object() && body.contains("serial") && body["serial"].is_string() &&
                    body.contains("key") && body["key"].is_string() &&
                    body["key"].get<std::string>().size() == 1;
    auto r = ok ? runs_.find(body["serial"].get<std::string>()) : runs_.end();
    if (r == runs_.end() || !r->second->choose(body["key"].get<std::string>()[0])) {
        res.result(http::status::bad_request);
        res.body() = "no menu of this device waits for that choice";
        return;
    }
    res.result(http::status::ok);
    res.body() = "{}";
}

void Server::on_request(const std::shared_ptr<Session>& session, Request& req,
                        std::shared_ptr<Response>& res) {
    (void)session;
    Response& r = *res;
    r.set(http::field::content_type, "text/plain; charset=utf-8");
    auto refuse = [&r](http::status s, std::string why) {
        r.result(s);
        r.body() = std::move(why) + "\n";
    };
    // a name that leads here by another address (DNS rebinding) is not this server
    if (req[http::field::host] != host_) return refuse(http::status::forbidden, "wrong host");
    const std::string target(req.target());
    const std::string path(target.substr(0, target.find('?')));
    if (path.empty() || path[0] != '/' || path.find("..") != std::string::npos ||
        path.find('%') != std::string::npos || path.find('\\') != std::string::npos) {
        return refuse(http::status::bad_request, "bad path");
    }
    const std::string given = query_value(target, "token");
    const bool by_query = same_secret(given, token_);
    const bool by_cookie =
        same_secret(cookie_value(std::string(req[http::field::cookie]), kCookie), token_);
    if (!by_query && !by_cookie) return refuse(http::status::forbidden, "no valid token");
    const bool write = req.method() != http::verb::get && req.method() != http::verb::head;
    if (write && req[http::field::origin] != origin_) {
        return refuse(http::status::forbidden, "wrong origin");
    }
    // the address with the token leads to the page; from there on the cookie carries it
    if (by_query && path == "/") {
        r.result(http::status::see_other);
        r.set(http::field::location, "/");
        r.set(http::field::set_cookie,
              std::string(kCookie) + "=" + token_ + "; Path=/; HttpOnly; SameSite=Strict");
        return;
    }
    r.result(http::status::ok);
    if (req.method() == http::verb::get) {
        const std::string file = path == "/" ? "/index.html" : path;
        for (const auto& f : page_files()) {
            if (f.path == file) {
                r.set(http::field::content_type, std::string(content_type(file)));
                r.body() = std::string(f.body);
                return;
            }
        }
        const std::string serial = query_value(target, "serial");
        if (path == "/api/events") {
            res = nullptr;  // the session turns into a live-event stream
            return;
        }
        if (path == "/api/package") {
            r.set(http::field::content_type, "application/json");
            r.body() = package_json().dump();
            return;
        }
        if (path == "/api/devices") {
            r.set(http::field::content_type, "application/json");
            r.body() = devices_json().dump();
            return;
        }
        if (path == "/api/log" || path == "/api/trace") {
            auto run = runs_.find(serial);
            if (run == runs_.end()) return refuse(http::status::not_found, "no run of this device");
            r.set(http::field::content_disposition,
                  "attachment; filename=\"" + serial +
                      (path == "/api/log" ? ".txt\"" : "-trace.jsonl\""));
            {
                const auto& files = run->second->files();
                std::ifstream in(path == "/api/log" ? files.log : files.trace, std::ios::binary);
                std::ostringstream s;
                s << in.rdbuf();
                r.body() = s.str();
            }
            return;
        }
    } else if (req.method() == http::verb::post) {
        if (path == "/api/install") return install(req, r);
        if (path == "/api/choice") return choose(req, r);
    }
    return refuse(http::status::not_found, "not found");
}

}  // namespace

int run_server(const ServerOptions& options) {
    prepare_host();
    asio::io_context io;
    Server server(io, options);
    if (server.start() != 0) return 1;
    io.run();
    server.stop_listing();
    std::printf("tessaro-web: stopped\n");
    return 0;
}

}  // namespace web
