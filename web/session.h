// One HTTP connection of the page's server, with the limits that keep another local program
// from holding the server: a request head of at most 8 KiB within 15 s, judged before any body
// is read; a body of at most 64 KiB within 10 s; an answer written within 10 s. After GET
// /api/events it carries the live events (Server-Sent Events) until it closes; one whose
// reader falls behind by more than 256 KiB is dropped, and the page comes back for the whole
// state.
#pragma once

#include <array>
#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "web/asio.h"

namespace web {

using Request = boost::beast::http::request<boost::beast::http::string_body>;
using Response = boost::beast::http::response<boost::beast::http::string_body>;
using RequestHead = boost::beast::http::request_header<>;

// Beast's own string_view (Boost's, in Boost 1.74) as the standard one.
[[nodiscard]] inline std::string_view view(boost::beast::string_view s) {
    return {s.data(), s.size()};
}

struct SessionLimits {
    size_t head = size_t{8} * 1024;
    size_t body = size_t{64} * 1024;
    std::chrono::milliseconds head_time{15000};  // from the first byte wait to the head's end
    std::chrono::milliseconds body_time{10000};
    std::chrono::milliseconds write_time{10000};
    size_t queued = size_t{1024} * 1024;  // live-event bytes waiting for a reader that falls behind
    int event_send_buffer = 64 * 1024;    // what the host holds for such a reader besides
};

class Session;

// What a connection asks of the server it belongs to, on the server's thread.
class SessionHost {
  public:
    // Judges a request's head before its body is read: null to go on, or the refusal to send
    // (after which the connection closes). A head with the token makes the session proven.
    virtual std::shared_ptr<Response> admit(Session& session, const RequestHead& head) = 0;
    // Answers the request in `res`, or sets `res` to null to turn the session into a
    // live-event stream.
    virtual void on_request(Request& req, std::shared_ptr<Response>& res) = 0;
    virtual void subscribe(const std::shared_ptr<Session>& s) = 0;
    virtual void forget(Session* s) = 0;

  protected:
    ~SessionHost() = default;
};

class Session : public std::enable_shared_from_this<Session> {
  public:
    Session(boost::asio::ip::tcp::socket socket, SessionHost& host, const SessionLimits& limits)
        : stream_(std::move(socket)), host_(host), limits_(limits) {}
    void start() { read(); }
    // Queues one Server-Sent Event on a live-event connection; one that falls behind is closed.
    void push(const std::string& data);
    // The state so far, queued at once; not counted against the limit.
    void push_all(const std::string& events);
    void close();
    // Closes once what is queued has gone out: a page is told the last events before the end.
    void finish();
    // A request of this connection carried the token: it is the page's, not a stranger's.
    void prove() { proven_ = true; }
    [[nodiscard]] bool proven() const { return proven_; }
    [[nodiscard]] bool closed() const { return closed_; }

  private:
    void read();
    void read_body();
    void send(const std::shared_ptr<Response>& res);
    void start_events();
    void write_next();
    void watch_close();

    boost::beast::tcp_stream stream_;
    boost::beast::flat_buffer buffer_;
    std::optional<boost::beast::http::request_parser<boost::beast::http::empty_body>> head_;
    std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser_;
    Request req_;
    SessionHost& host_;
    const SessionLimits& limits_;
    struct Chunk {
        std::string bytes;
        bool counted = true;  // a live event's, counted against the limit
    };
    std::deque<Chunk> queue_;
    size_t queued_ = 0;  // the bytes of the live events in queue_
    bool writing_ = false;
    std::array<char, 64> sink_{};
    bool closing_ = false;
    bool proven_ = false;
    bool closed_ = false;
};

}  // namespace web
