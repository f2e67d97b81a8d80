#include "trace/trace.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/unique_file.h"

namespace trace {

namespace {

using Clock = std::chrono::steady_clock;

struct State {
    bool tried = false;
    base::unique_file file;
    Clock::time_point start;
    Sink sink = nullptr;
};

State& state() {
    static State s;
    return s;
}

}  // namespace

bool on() {
    State& s = state();
    if (!s.tried) {
        s.tried = true;
        s.start = Clock::now();
        const char* path = std::getenv("TESSARO_TRACE");
        if (path != nullptr && *path != '\0') {
            // close-on-exec: the trace is the installer's alone
            s.file.reset(std::fopen(path, "ae"));
            if (!s.file) {
                std::fprintf(stderr,
                             "\nwarning: the trace file %s cannot be written (%s); the run goes "
                             "on without a trace\n",
                             path, std::strerror(errno));
            }
        }
    }
    return s.file != nullptr || s.sink != nullptr;
}

void set_sink(Sink sink) {
    state().sink = sink;
}

void reset() {
    state() = State{};
}

Event::Event(std::string_view kind) : on_(on()) {
    if (!on_) return;
    const double t = std::chrono::duration<double>(Clock::now() - state().start).count();
    char head[48];
    std::snprintf(head, sizeof head, "{\"t\":%.3f", t);
    line_ = head;
    text("ev", kind);
}

Event::~Event() {
    if (!on_) return;
    line_ += "}\n";
    State& s = state();
    // one write and a flush per line: a run that ends abruptly keeps every line before it
    if (s.file) {
        std::fwrite(line_.data(), 1, line_.size(), s.file.get());
        std::fflush(s.file.get());
    }
    if (s.sink != nullptr) s.sink(line_);
}

void Event::key(std::string_view k) {
    line_ += ',';
    line_ += json_string(k);
    line_ += ':';
}

Event& Event::text(std::string_view k, std::string_view value) {
    if (!on_) return *this;
    key(k);
    line_ += json_string(value);
    return *this;
}

Event& Event::number(std::string_view k, int64_t value) {
    if (!on_) return *this;
    key(k);
    line_ += std::to_string(value);
    return *this;
}

Event& Event::seconds(std::string_view k, double value) {
    if (!on_) return *this;
    key(k);
    char v[32];
    std::snprintf(v, sizeof v, "%.6f", value);
    line_ += v;
    return *this;
}

Event& Event::flag(std::string_view k, bool value) {
    if (!on_) return *this;
    key(k);
    line_ += value ? "true" : "false";
    return *this;
}

Event& Event::texts(std::string_view k, const std::vector<std::string>& values) {
    if (!on_) return *this;
    key(k);
    line_ += '[';
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0) line_ += ',';
        line_ += json_string(values[i]);
    }
    line_ += ']';
    return *this;
}

}  // namespace trace
