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

Run::Run(std::string place, const ChildLaunch& launch, Files files, Post post, Publish publish)
    : place_(std::move(place)),
      files_(std::move(files)),
      post_(std::move(post)),
      publish_(std::move(publish)),
      log_(files_.log, std::ios::binary | std::ios::trunc),
      child_(std::make_unique<Child>(launch)) {
    follow_ = std::make_unique<TraceFollow>(files_.trace, [this](std::vector<nlohmann::json> got) {
        const double at =
            std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
                .count();
        post_([this, got = std::move(got), at]() mutable {
            for (auto& j : got) on_trace(std::move(j), at);
        });
    });
    supervisor_ = std::thread([this] {
        std::thread err([this] { pump(false); });
        pump(true);
        err.join();
        const int status = child_->wait();
        // the trace's last lines reach the page before the end
        follow_->finish();
        post_([this, status] { on_end(status); });
    });
}

Run::~Run() {
    if (supervisor_.joinable()) supervisor_.join();
}

// Reads one stream to its end: every byte goes to the run's file; each event goes to the
// server's thread with the time it was read.
void Run::pump(bool out) {
    Reader reader(out);
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
        {
            std::lock_guard lock(log_mutex_);
            log_.write(buf, static_cast<std::streamsize>(n));
            log_.flush();
        }
        send(reader.feed(std::string_view(buf, n)));
    }
    send(reader.finish());
}

// Keeps an event for a page that comes back, within the caps.
void Run::keep(nlohmann::json j, bool structural) {
    if (history_.size() < kHistoryCap || (structural && history_.size() < 2 * kHistoryCap)) {
        history_.push_back(std::move(j));
        return;
    }
    if (history_cut_) return;
    history_cut_ = true;
    history_.push_back({{"type", "run"},
                        {"path", place_},
                        {"stream", "err"},
                        {"kind", "text"},
                        {"text",
                         "tessaro-web: more lines than are kept here; the saved output "
                         "has them all"}});
}

void Run::on_event(const std::string& stream, const Event& e, double t, double at) {
    nlohmann::json j = event_json(e);
    const EventKind kind = outcome_.take(e);
    j["kind"] = kind_name(kind);
    j["type"] = "run";
    j["path"] = place_;
    j["stream"] = stream;
    j["t"] = t;
    j["at"] = at;
    if (preview_) j["preview"] = true;
    if (stream == "out") device_wait_ = false;
    if (stream != "err") take_event(seen_, e);
    causes_.take(stream == "err", e);
    switch (kind) {
        case EventKind::Menu:
            menu_keys_.clear();
            // with the both-systems choice "5" of a package of both systems, which has no line
            // of its own
            for (const auto& c : e.choices) menu_keys_ += c.key;
            break;
        case EventKind::Choice:
            menu_keys_.clear();
            if (chosen_ == 0 && !e.value.empty()) chosen_ = e.value[0];
            break;
        case EventKind::Text:
            if (stream != "err") break;
            device_wait_ = device_wait_ || e.text == "< waiting for device >";
            // the installer's own note of where a Stop left the device
            if (stop_asked() && (!stop_note_.empty() || e.text.starts_with("stopped: "))) {
                stop_note_ += e.text + "\n";
            }
            break;
        default:
            break;
    }
    const bool structural = kind != EventKind::Text && kind != EventKind::Percent;
    publish_(j);
    keep(std::move(j), structural);
    if (kind == EventKind::Menu && planned_) answer_planned();
}

void Run::identify(const Identity& device) {
    seen_ = device;
}

void Run::answer_as(char key, Identity preview) {
    planned_ = Planned{key, std::move(preview)};
}

// The menu the preview answered, answered again by itself when nothing differs.
void Run::answer_planned() {
    const Planned p = std::move(*planned_);
    planned_.reset();
    const nlohmann::json why = differs(p.preview, seen_);
    nlohmann::json j = {{"type", "planned"},
                        {"path", place_},
                        {"key", std::string(1, p.key)},
                        {"same", why.is_null()}};
    if (!why.is_null()) j["why"] = why;
    publish_(j);
    keep(j, true);
    if (why.is_null()) (void)choose(p.key);
}

void Run::on_trace(nlohmann::json j, double at) {
    j["path"] = place_;
    j["at"] = at;
    publish_(j);
    keep(std::move(j), true);
}

void Run::on_end(int status) {
    running_ = false;
    menu_keys_.clear();
    device_wait_ = false;
    const std::string_view state = outcome_.end(status);
    nlohmann::json j = {{"type", "end"}, {"path", place_}, {"status", status}, {"state", state}};
    if (preview_) j["preview"] = true;
    if (state == "stopped" && !stop_note_.empty()) j["note"] = stop_note_;
    if (state == "failed") add_cause(j, causes_.finding());
    history_.push_back(j);
    publish_(j);
}

void add_cause(nlohmann::json& end, const Finding& f) {
    if (f.cause == Cause::none) return;
    end["cause"] = cause_name(f.cause);
    if (!f.detail.empty()) end["detail"] = f.detail;
    if (!f.device.empty()) end["device"] = f.device;
    if (!f.package.empty()) end["package"] = f.package;
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

bool Run::stop() {
    if (!running_) return false;
    if (!stop_asked()) {
        outcome_.stop();
        nlohmann::json j = {{"type", "stopping"}, {"path", place_}, {"waiting", waiting()}};
        publish_(j);
        history_.push_back(std::move(j));
    }
    child_->interrupt();
    return true;
}

void Run::stop_tick() {
    if (running_ && stop_asked()) child_->interrupt();
}

}  // namespace web
