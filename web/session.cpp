#include "web/session.h"

#include <algorithm>

namespace web {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

void Session::close() {
    closed_ = true;
    beast::error_code ec;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ec);
    stream_.socket().close(ec);
}

void Session::finish() {
    closing_ = true;
    if (!writing_) close();
}

void Session::read() {
    head_.emplace();
    head_->header_limit(static_cast<std::uint32_t>(limits_.head));
    // a Content-Length past the limit is refused with the head: the parser checks it there
    head_->body_limit(limits_.body);
    // a slow client is not waited for: the whole head comes within the time, or the
    // connection closes (an idle page connection too; the browser opens another)
    stream_.expires_after(limits_.head_time);
    http::async_read_header(stream_, buffer_, *head_,
                            [self = shared_from_this()](beast::error_code ec, size_t) {
                                if (ec) {
                                    self->host_.forget(self.get());
                                    self->close();
                                    return;
                                }
                                if (auto refusal = self->host_.admit(*self, self->head_->get())) {
                                    // the body, if any, is never read: the connection ends with the
                                    // answer
                                    refusal->version(self->head_->get().version());
                                    refusal->keep_alive(false);
                                    self->req_ = {};
                                    self->send(refusal);
                                    return;
                                }
                                self->read_body();
                            });
}

void Session::read_body() {
    parser_.emplace(std::move(*head_));
    head_.reset();
    parser_->body_limit(limits_.body);
    stream_.expires_after(limits_.body_time);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, size_t) {
                         if (ec) {
                             self->host_.forget(self.get());
                             self->close();
                             return;
                         }
                         self->req_ = self->parser_->release();
                         self->parser_.reset();
                         auto res = std::make_shared<Response>();
                         res->version(self->req_.version());
                         res->keep_alive(self->req_.keep_alive());
                         self->host_.on_request(self->req_, res);
                         if (res) {
                             self->send(res);
                         } else {
                             self->start_events();
                         }
                     });
}

void Session::send(const std::shared_ptr<Response>& res) {
    res->set(http::field::cache_control, "no-store");
    res->set("X-Content-Type-Options", "nosniff");
    res->prepare_payload();
    stream_.expires_after(limits_.write_time);
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
    // the stream has no end of its own: a reader that falls behind is dropped by the queue's
    // limit, not by a time
    stream_.expires_never();
    beast::error_code ec;
    stream_.socket().set_option(asio::socket_base::send_buffer_size(limits_.event_send_buffer), ec);
    queue_.push_front(
        {"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: "
         "no-store\r\nX-Content-Type-Options: nosniff\r\nConnection: "
         "keep-alive\r\n\r\n",
         false});
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

void Session::push_all(const std::string& events) {
    queue_.push_back({events, false});
    if (!writing_) write_next();
}

void Session::push(const std::string& data) {
    if (closing_) return;
    std::string event = "data: " + data + "\n\n";
    queued_ += event.size();
    if (queued_ > limits_.queued) {
        // what it missed is not kept for it: the page comes back and is given the whole state
        closing_ = true;
        queue_.clear();
        queued_ = 0;
        host_.forget(this);
        close();
        return;
    }
    queue_.push_back({std::move(event), true});
    if (!writing_) write_next();
}

void Session::write_next() {
    if (queue_.empty()) {
        writing_ = false;
        if (closing_) close();
        return;
    }
    writing_ = true;
    // what waits goes out in one write, so a burst of events (a device that says much) costs a
    // reader that keeps up one write, not one per event
    auto batch = std::make_shared<Chunk>(Chunk{{}, false});
    size_t counted = 0;
    while (!queue_.empty() && batch->bytes.size() < size_t{64} * 1024) {
        if (queue_.front().counted) counted += queue_.front().bytes.size();
        batch->bytes += queue_.front().bytes;
        queue_.pop_front();
    }
    asio::async_write(stream_.socket(), asio::buffer(batch->bytes),
                      [self = shared_from_this(), batch, counted](beast::error_code ec, size_t) {
                          if (ec) {
                              self->writing_ = false;
                              self->queue_.clear();
                              self->queued_ = 0;
                              return;
                          }
                          self->queued_ -= std::min(self->queued_, counted);
                          self->write_next();
                      });
}

}  // namespace web
