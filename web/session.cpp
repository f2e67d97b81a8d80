#include "web/session.h"

namespace web {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

void Session::close() {
    beast::error_code ec;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ec);
}

void Session::finish() {
    closing_ = true;
    if (!writing_) close();
}

void Session::read() {
    req_ = {};
    http::async_read(stream_, buffer_, req_,
                     [self = shared_from_this()](beast::error_code ec, size_t) {
                         if (ec) {
                             self->host_.forget(self.get());
                             return;
                         }
                         auto res = std::make_shared<Response>();
                         self->host_.on_request(self, self->req_, res);
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
    host_.subscribe(shared_from_this());
    if (!writing_) write_next();
    watch_close();
}

// The page closing its end is seen as a read that fails; anything it sends is dropped.
void Session::watch_close() {
    stream_.socket().async_read_some(asio::buffer(sink_),
                                     [self = shared_from_this()](beast::error_code ec, size_t) {
                                         if (ec) {
                                             self->host_.forget(self.get());
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

}  // namespace web
