// One HTTP connection of the page's server; after GET /api/events it carries the live events
// (Server-Sent Events) until it closes.
#pragma once

#include <array>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include "web/asio.h"

namespace web {

using Request = boost::beast::http::request<boost::beast::http::string_body>;
using Response = boost::beast::http::response<boost::beast::http::string_body>;

// Beast's own string_view (Boost's, in Boost 1.74) as the standard one.
[[nodiscard]] inline std::string_view view(boost::beast::string_view s) {
    return {s.data(), s.size()};
}

class Session;

// What a connection asks of the server it belongs to, on the server's thread.
class SessionHost {
  public:
    // Answers the request in `res`, or sets `res` to null to turn the session into a
    // live-event stream.
    virtual void on_request(const std::shared_ptr<Session>& session, Request& req,
                            std::shared_ptr<Response>& res) = 0;
    virtual void subscribe(const std::shared_ptr<Session>& s) = 0;
    virtual void forget(Session* s) = 0;

  protected:
    ~SessionHost() = default;
};

class Session : public std::enable_shared_from_this<Session> {
  public:
    Session(boost::asio::ip::tcp::socket socket, SessionHost& host)
        : stream_(std::move(socket)), host_(host) {}
    void start() { read(); }
    // Queues one Server-Sent Event on a live-event connection.
    void push(const std::string& data);
    void close();
    // Closes once what is queued has gone out: a page is told the last events before the end.
    void finish();

  private:
    void read();
    void send(const std::shared_ptr<Response>& res);
    void start_events();
    void write_next();
    void watch_close();

    boost::beast::tcp_stream stream_;
    boost::beast::flat_buffer buffer_;
    Request req_;
    SessionHost& host_;
    std::deque<std::string> queue_;
    bool writing_ = false;
    std::array<char, 64> sink_{};
    bool closing_ = false;
};

}  // namespace web
