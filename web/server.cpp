#include "web/server.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "web/api.h"
#include "web/asio.h"
#include "web/child.h"
#include "web/listing.h"
#include "web/page_files.h"
#include "web/policy.h"
#include "web/session.h"

namespace web {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using json = nlohmann::json;

namespace {

std::string_view content_type(std::string_view path) {
    if (path.ends_with(".html")) return "text/html; charset=utf-8";
    if (path.ends_with(".js")) return "text/javascript; charset=utf-8";
    if (path.ends_with(".css")) return "text/css; charset=utf-8";
    return "application/octet-stream";
}

// The listening socket, the signals, the live-event clients, and each request led through the
// policy to the page's files or the API.
class Server : public SessionHost {
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
    std::shared_ptr<Response> admit(Session& session, const RequestHead& head) override;
    void on_request(Request& req, std::shared_ptr<Response>& res) override;
    void subscribe(const std::shared_ptr<Session>& s) override;
    void forget(Session* s) override;
    void stop_listing() { lister_.stop(); }

  private:
    [[nodiscard]] Judged judged(const RequestHead& head) const;
    void accept();
    void take(tcp::socket socket);
    [[nodiscard]] bool make_room();
    void wait_signal();
    void publish(const json& j);
    void maybe_finish();
    void tick_stops();

    asio::io_context& io_;
    ServerOptions options_;
    tcp::acceptor acceptor_;
    asio::signal_set signals_;
    std::string token_ = random_hex(16);
    std::string host_;    // "127.0.0.1:PORT"
    std::string origin_;  // "http://127.0.0.1:PORT"
    std::vector<std::weak_ptr<Session>> subscribers_;
    std::vector<std::string_view> open_paths_;  // the page's files, which need no token
    SessionLimits limits_;
    // every connection in the order it came, and how many may be open at once: well within
    // the descriptors the process may hold, with room for the children's pipes
    std::deque<std::weak_ptr<Session>> sessions_;
    size_t cap_ = std::clamp<size_t>(descriptors_allowed() / 2, 16, 1024);
    asio::steady_timer retry_timer_{io_};
    std::filesystem::path run_dir_;
    bool stopping_ = false;
    bool finished_ = false;
    asio::steady_timer stop_timer_{io_};
    asio::steady_timer stop_tick_{io_};
    std::vector<std::string> writing_;  // the places of the runs that wrote at the first Ctrl+C
    std::optional<Api> api_;
    Lister lister_{{options_.installer, {"--list", "--json"}, options_.package_dir, {}},
                   [this](std::string out) {
                       asio::post(io_, [this, out = std::move(out)] { api_->take_listing(out); });
                   }};
};

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
    keep_from_children(static_cast<std::intptr_t>(acceptor_.native_handle()));
    const unsigned port = acceptor_.local_endpoint().port();
    host_ = "127.0.0.1:" + std::to_string(port);
    origin_ = "http://" + host_;
    open_paths_.emplace_back("/");
    for (const auto& f : page_files()) open_paths_.push_back(f.path);
    try {
        run_dir_ = make_private_dir("tessaro-web-");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tessaro-web: %s\n", e.what());
        return 1;
    }
    api_.emplace(
        io_, options_, run_dir_, [this](const json& j) { publish(j); }, [this] { maybe_finish(); });

    // the token goes in the fragment, which a browser never sends to a server; the browser is
    // handed a file that only this user can read, so no command line ever shows the token
    const std::string url = origin_ + "/#token=" + token_;
    const auto opener = run_dir_ / "open.html";
    const bool written = write_private_file(
        opener,
        R"(<!doctype html><meta charset="utf-8"><meta http-equiv="refresh" content="0;url=)" + url +
            R"("><title>Tessaro</title><a href=")" + url + "\">Tessaro</a>\n");
    std::printf("tessaro-web: %s\npackage: %s\nCtrl+C stops it.\n", url.c_str(),
                options_.package_dir.string().c_str());
    std::fflush(stdout);
    if (options_.open_browser && (!written || !open_browser(opener.string()))) {
        std::fprintf(stderr, "tessaro-web: no browser could be started; open the address above\n");
    }
    accept();
    wait_signal();
    lister_.start();
    return 0;
}

// The accept loop never ends but with the server: an error (no descriptor left, say) makes
// room and tries again.
void Server::accept() {
    acceptor_.async_accept([this](beast::error_code ec, tcp::socket socket) {
        if (finished_) return;  // the acceptor was closed
        if (!ec) {
            take(std::move(socket));
            accept();
            return;
        }
        const bool room = make_room();
        retry_timer_.expires_after(std::chrono::milliseconds(room ? 1 : 100));
        retry_timer_.async_wait([this](beast::error_code e) {
            if (!e && !finished_) accept();
        });
    });
}

void Server::take(tcp::socket socket) {
    keep_from_children(static_cast<std::intptr_t>(socket.native_handle()));
    std::erase_if(sessions_, [](const std::weak_ptr<Session>& w) {
        const auto s = w.lock();
        return !s || s->closed();
    });
    // a full house makes room for the newcomer: the page always gets in
    if (sessions_.size() >= cap_ && !make_room()) {
        beast::error_code ec;
        socket.close(ec);
        return;
    }
    auto s = std::make_shared<Session>(std::move(socket), *this, limits_);
    sessions_.push_back(s);
    s->start();
}

// Closes the oldest connection that never showed the token: a stranger's, or a page's that has
// not sent its first request yet (it is sent again on a new connection). False when every
// connection is the page's.
bool Server::make_room() {
    const auto stranger = std::ranges::find_if(sessions_, [](const std::weak_ptr<Session>& w) {
        const auto s = w.lock();
        return s && !s->closed() && !s->proven();
    });
    if (stranger == sessions_.end()) return false;
    stranger->lock()->close();
    return true;
}

void Server::wait_signal() {
    signals_.async_wait([this](beast::error_code ec, int) {
        if (ec) return;
        if (!stopping_) {
            stopping_ = true;
            writing_ = api_->stop_all();
            tick_stops();
        }
        maybe_finish();
        if (!io_.stopped()) wait_signal();
    });
}

// A run that wrote when it was asked to stop is asked again each second: it stops at its next
// wait or menu, the only places where it takes a Ctrl+C.
void Server::tick_stops() {
    stop_tick_.expires_after(std::chrono::seconds(1));
    stop_tick_.async_wait([this](beast::error_code ec) {
        if (ec || finished_) return;
        api_->stop_tick();
        tick_stops();
    });
}

// Ends the server once it was asked to and no install runs; names the runs that write
// otherwise.
void Server::maybe_finish() {
    if (!stopping_) return;
    const std::vector<std::string> running = api_->running();
    if (!running.empty()) {
        std::string writing;
        for (const auto& place : writing_) {
            if (std::find(running.begin(), running.end(), place) != running.end()) {
                writing += " " + place;
            }
        }
        if (!writing.empty()) {
            std::fprintf(stderr,
                         "tessaro-web: an install writes to the device at%s; a write is never "
                         "broken off, so the server stops once it reaches its next wait\n",
                         writing.c_str());
        }
        return;
    }
    if (finished_) return;
    finished_ = true;
    stop_tick_.cancel();
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

void Server::subscribe(const std::shared_ptr<Session>& s) {
    subscribers_.push_back(s);
    // a page that comes (or comes back) is given the whole state first
    std::string all;
    api_->replay([&all](const json& j) { all += "data: " + j.dump() + "\n\n"; });
    s->push_all(all);
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

Judged Server::judged(const RequestHead& head) const {
    const Asked asked{view(head.method_string()), view(head.target()),
                      view(head[http::field::host]), view(head[http::field::origin]),
                      view(head[beast::string_view(kTokenHeader.data(), kTokenHeader.size())])};
    return judge(asked, {token_, host_, origin_, open_paths_});
}

std::shared_ptr<Response> Server::admit(Session& session, const RequestHead& head) {
    const Judged j = judged(head);
    if (j.verdict == Verdict::Serve) session.prove();
    if (j.verdict == Verdict::Serve || j.verdict == Verdict::Page) return nullptr;
    auto r = std::make_shared<Response>();
    r->set(http::field::content_type, "text/plain; charset=utf-8");
    r->result(static_cast<http::status>(j.status));
    r->body() = j.why + "\n";
    return r;
}

void Server::on_request(Request& req, std::shared_ptr<Response>& res) {
    Response& r = *res;
    r.set(http::field::content_type, "text/plain; charset=utf-8");
    const Judged j = judged(req);
    r.result(http::status::ok);
    if (j.verdict == Verdict::Page) {
        const std::string file = j.path == "/" ? "/index.html" : j.path;
        for (const auto& f : page_files()) {
            if (f.path == file) {
                r.set(http::field::content_type, std::string(content_type(file)));
                r.body() = std::string(f.body);
                return;
            }
        }
    }
    if (req.method() == http::verb::get && j.path == "/api/events") {
        res = nullptr;  // the session turns into a live-event stream
        return;
    }
    api_->answer(req, j.path, r);
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
