#include "web/runs.h"

#include <utility>

namespace web {

nlohmann::json event_json(const Event& e) {
    nlohmann::json j = {{"kind", kind_name(e.kind)}, {"text", e.text}};
    if (!e.value.empty()) j["value"] = e.value;
    if (e.percent >= 0) j["percent"] = e.percent;
    if (e.kind == EventKind::Menu) {
        j["header"] = e.header;
        auto& choices = j["choices"] = nlohmann::json::array();
        for (const auto& c : e.choices) {
            choices.push_back(
                {{"key", std::string(1, c.key)}, {"text", c.text}, {"wipes", c.wipes}});
        }
    }
    return j;
}

Run::Run(std::string serial, const ChildLaunch& launch, std::filesystem::path trace, Post post,
         Publish publish)
    : serial_(std::move(serial)),
      trace_(std::move(trace)),
      post_(std::move(post)),
      publish_(std::move(publish)),
      child_(std::make_unique<Child>(launch)) {
    supervisor_ = std::thread([this] {
        std::thread err([this] { pump(false); });
        pump(true);
        err.join();
        const int status = child_->wait();
        post_([this, status] { on_end(status); });
    });
}

Run::~Run() {
    if (supervisor_.joinable()) supervisor_.join();
}

// Reads one stream to its end; each event goes to the server's thread with the time it was read.
void Run::pump(bool out) {
    Reader reader;
    const std::string stream = out ? "out" : "err";
    char buf[4096];
    auto send = [&](std::vector<Event> events) {
        if (events.empty()) return;
        const auto now = std::chrono::steady_clock::now();
        const double t = std::chrono::duration<double>(now - start_).count();
        // the monotonic clock is the host's, so a client on this computer can tell how long an
        // event took from the child's line to its page
        const double at = std::chrono::duration<double>(now.time_since_epoch()).count();
        post_([this, stream, events = std::move(events), t, at] {
            for (const auto& e : events) on_event(stream, e, t, at);
        });
    };
    for (size_t n;
         (n = out ? child_->read_out(buf, sizeof buf) : child_->read_err(buf, sizeof buf)) > 0;) {
        send(reader.feed(std::string_view(buf, n)));
    }
    send(reader.finish());
}

void Run::on_event(const std::string& stream, const Event& e, double t, double at) {
    nlohmann::json j = event_json(e);
    j["type"] = "run";
    j["serial"] = serial_;
    j["stream"] = stream;
    j["t"] = t;
    j["at"] = at;
    if (e.kind != EventKind::Percent) console_ += e.text + "\n";
    switch (e.kind) {
        case EventKind::Menu:
            menu_keys_.clear();
            for (const auto& c : e.choices) menu_keys_ += c.key;
            // the menu of a package of both systems also takes 5, both systems with a wipe,
            // though it has no line of its own
            if (e.value.find("(0-4)") != std::string::npos) menu_keys_ += '5';
            break;
        case EventKind::Choice:
            menu_keys_.clear();
            exited_ = exited_ || e.value == "0";
            break;
        case EventKind::Done:
            // a menu left with 0 ends with the same last line as a done install: nothing was
            // installed though
            if (exited_) {
                j["kind"] = kind_name(EventKind::Left);
                if (state_ == "running") state_ = "left";
            } else {
                state_ = "done";
            }
            break;
        case EventKind::Failed:
            state_ = "failed";
            break;
        case EventKind::Left:
            if (state_ == "running") state_ = "left";
            break;
        default:
            break;
    }
    history_.push_back(j);
    publish_(j);
}

void Run::on_end(int status) {
    running_ = false;
    menu_keys_.clear();
    // a run that stopped without an ending of its own (an internal fault, a signal) failed
    if (state_ == "running" || (status != 0 && state_ == "done")) state_ = "failed";
    nlohmann::json j = {
        {"type", "end"}, {"serial", serial_}, {"status", status}, {"state", state_}};
    history_.push_back(j);
    publish_(j);
}

bool Run::choose(char key) {
    if (!running_ || menu_keys_.find(key) == std::string::npos) return false;
    menu_keys_.clear();
    if (!child_->write_in(std::string(1, key) + "\n")) return false;
    Event e;
    e.kind = EventKind::Choice;
    e.text = std::string(1, key);
    e.value = e.text;
    const auto now = std::chrono::steady_clock::now();
    on_event("in", e, std::chrono::duration<double>(now - start_).count(),
             std::chrono::duration<double>(now.time_since_epoch()).count());
    return true;
}

}  // namespace web
