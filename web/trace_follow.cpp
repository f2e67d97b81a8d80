#include "web/trace_follow.h"

#include <array>
#include <fstream>
#include <utility>

namespace web {

namespace {

using json = nlohmann::json;

// the lines the page reads are short; a longer one (a device's long answer) is passed over
constexpr size_t kLongestLine = size_t{4} * 1024;

// Copies the fields of `from` named in `keys` that have the JSON type `type`.
void copy(json& to, const json& from, std::initializer_list<const char*> keys, json::value_t type) {
    for (const char* k : keys) {
        const auto at = from.find(k);
        if (at != from.end() && at->type() == type) to[k] = *at;
    }
}

// Most lines are the device's exchanges, which the page does not read: they are passed over by
// their kind before any is parsed (the parse below still judges what is kept).
bool maybe_read(std::string_view line) {
    constexpr std::string_view key = R"("ev":")";
    const size_t at = line.find(key);
    if (at == std::string_view::npos) return false;
    const std::string_view ev = line.substr(at + key.size());
    for (const std::string_view kind : {"loader\"", "plan\"", "data\"", "end\"", "sleep\"",
                                        "reconnecting\"", "wait\"", "usb_error\""}) {
        if (ev.starts_with(kind)) return true;
    }
    return ev.starts_with(R"(command")") &&
           (line.find(R"("text":"download:)") != std::string_view::npos ||
            line.find(R"("text":"reboot")") != std::string_view::npos);
}

}  // namespace

std::optional<json> trace_event(std::string_view line) {
    if (!maybe_read(line)) return std::nullopt;
    const json in = json::parse(line, nullptr, false);
    if (!in.is_object() || !in.contains("ev") || !in["ev"].is_string() || !in.contains("t") ||
        !in["t"].is_number()) {
        return std::nullopt;
    }
    const std::string ev = in["ev"];
    json out = {{"type", "trace"}, {"ev", ev}, {"t", in["t"]}};
    if (ev == "loader") {
        copy(out, in, {"image", "phase"}, json::value_t::string);
        copy(out, in, {"stage", "of", "bytes", "restart_seconds"}, json::value_t::number_unsigned);
        copy(out, in, {"final"}, json::value_t::boolean);
    } else if (ev == "data") {
        copy(out, in, {"bytes", "sent"}, json::value_t::number_unsigned);
        copy(out, in, {"seconds"}, json::value_t::number_float);
    } else if (ev == "command") {
        const auto text = in.find("text");
        if (text == in.end() || !text->is_string()) return std::nullopt;
        const auto& cmd = text->get_ref<const std::string&>();
        if (cmd.starts_with("download:") && cmd.size() <= 17) {
            try {
                out["bytes"] = std::stoull(cmd.substr(9), nullptr, 16);
            } catch (const std::exception&) {
                return std::nullopt;
            }
        } else if (cmd != "reboot") {
            return std::nullopt;
        }
        out["text"] = cmd;
    } else if (ev == "plan") {
        copy(out, in, {"bytes"}, json::value_t::number_unsigned);
        copy(out, in, {"files"}, json::value_t::array);
    } else if (ev == "end") {
        copy(out, in, {"outcome"}, json::value_t::string);
    } else if (ev == "sleep") {
        copy(out, in, {"seconds"}, json::value_t::number_unsigned);
    } else if (ev != "reconnecting" && ev != "wait" && ev != "usb_error") {
        return std::nullopt;
    }
    return out;
}

TraceFollow::TraceFollow(std::filesystem::path file, Take take, std::chrono::milliseconds period)
    : file_(std::move(file)), take_(std::move(take)), period_(period) {
    thread_ = std::thread([this] { loop(); });
}

TraceFollow::~TraceFollow() {
    finish();
}

void TraceFollow::finish() {
    {
        std::lock_guard lock(mutex_);
        if (done_ && !thread_.joinable()) return;
        done_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void TraceFollow::loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        const bool last = wake_.wait_for(lock, period_, [this] { return done_; });
        lock.unlock();
        read_more();
        lock.lock();
        if (last) return;
    }
}

// Reads from where the last read stopped; a line is taken once it has its end.
void TraceFollow::read_more() {
    // opened anew at each read, from where the last one stopped: a stream kept open past its end
    // was seen to read nothing more of a file that grows, under wine's C library
    std::ifstream in(file_, std::ios::binary);
    if (!in) return;
    in.seekg(static_cast<std::streamoff>(offset_));
    if (!in) return;
    std::vector<json> events;
    std::array<char, 8192> buf{};
    for (;;) {
        in.read(buf.data(), buf.size());
        const auto n = static_cast<size_t>(in.gcount());
        if (n == 0) break;
        offset_ += n;
        for (const char c : std::string_view(buf.data(), n)) {
            if (c != '\n') {
                if (partial_.size() < kLongestLine) {
                    partial_ += c;
                } else {
                    skipping_ = true;
                }
                continue;
            }
            if (!skipping_) {
                if (auto e = trace_event(partial_)) events.push_back(std::move(*e));
            }
            partial_.clear();
            skipping_ = false;
        }
    }
    if (!events.empty()) take_(std::move(events));
}

}  // namespace web
