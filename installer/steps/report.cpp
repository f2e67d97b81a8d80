// The run's report: the console output and the trace are kept in memory while the run goes on
// and the file is written once, at the end, so that its parts come in their order (header,
// console, trace) however the run ends. A stop signal may end the run at a wait; every change to
// what is kept is made under report_host::Hold, so a handler that writes the report reads it
// whole.
#include "installer/steps/report.h"

#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "console/console.h"
#include "console/device_text.h"
#include "installer/steps/list_devices.h"
#include "installer/steps/report_host.h"
#include "installer/steps/run.h"
#include "payload/payload.h"
#include "trace/trace.h"

#ifndef TESSARO_VERSION
#define TESSARO_VERSION "unknown"
#endif

namespace {

struct HandlerText {
    std::atomic<const char*> text{nullptr};
    std::atomic<size_t> size{0};
};

struct Report {
    bool on = false;
    volatile std::sig_atomic_t written = 0;
    int fd = -1;
    const InstallRun* run = nullptr;
    std::string date;
    std::string host;
    std::string arguments;
    std::string loader;  // the first loader version the device gave
    std::string head;    // the header lines and the console's heading, as they stand
    std::string console;
    std::string trace;
    // texts handlers wrote themselves; taken into the console output at its next change
    std::array<HandlerText, 8> handler_texts;
    std::atomic<size_t> handler_count{0};
    size_t handler_taken = 0;
};

Report& report() {
    static Report r;
    return r;
}

// The current UTC time as "2026-12-10T06:50:01Z", or with milliseconds ("...:01.123Z").
std::string utc_now(bool millis) {
    const auto now = std::chrono::system_clock::now();
    const std::tm tm = report_host::utc_time(std::chrono::system_clock::to_time_t(now));
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
    std::string out = text;
    if (millis) {
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
        std::snprintf(text, sizeof text, ".%03d", static_cast<int>(ms.count()));
        out += text;
    }
    return out + "Z";
}

// A value of the header's device line: printable, without the spaces that part the fields;
// "?" when it is not known.
std::string field(std::string_view value) {
    if (value.empty()) return "?";
    std::string out = device_text(value);
    for (char& c : out) {
        if (c == ' ' || c == '=') c = '_';
    }
    return out;
}

std::string device_line(Report& r) {
    const InstallRun& run = *r.run;
    if (r.loader.empty() && run.verflag_asked) r.loader = run.verflag_first;
    ListedDevice d;
    const std::string_view board = run.serialno;
    if (!board.empty()) describe_board(board, d);
    const bool known = !d.model.empty();
    const std::string system = run.sys_type_read ? std::to_string(run.sys_type) : "";
    std::string place = run.device.followed.path;
    if (place.empty()) place = run.device.accepted.device_path;
    std::string serial = run.device.accepted.serial_number;
    if (serial.empty()) serial = run.serialno;
    return "device: model=" + field(d.model) + " loader=" + field(r.loader) +
           " system=" + field(system) +
           " variant=" + (known && d.variant.empty() ? std::string("none") : field(d.variant)) +
           " place=" + field(place) + " serial=" + field(serial) + "\n";
}

// Under a Hold.
void rebuild_head(Report& r) {
    r.head = "tessaro-installer report\ndate: " + r.date + "\nhost: " + r.host +
             "\nversion: tessaro-installer " TESSARO_VERSION "\nloaders: " +
             (payload_loader_firmware ? "maker's" : "stand-in") + "\n" + device_line(r) +
             "arguments: " + r.arguments + "\n--- console ---\n";
}

void take_handler_texts(Report& r) {
    for (const size_t n = r.handler_count.load();
         r.handler_taken < n && r.handler_taken < r.handler_texts.size(); ++r.handler_taken) {
        const HandlerText& h = r.handler_texts[r.handler_taken];
        r.console.append(h.text.load(), h.size.load());
    }
}

void on_console(std::string_view text) {
    Report& r = report();
    const report_host::Hold hold;
    take_handler_texts(r);
    r.console += text;
    rebuild_head(r);
}

// Each trace line with its wall-clock time after its "t": {"t":1.234,"at":"...Z",...}.
void on_trace(std::string_view line) {
    Report& r = report();
    const std::string at = R"(,"at":")" + utc_now(true) + "\"";
    const report_host::Hold hold;
    const size_t comma = line.find(',');
    if (comma == std::string_view::npos) {
        r.trace += line;
    } else {
        r.trace += line.substr(0, comma);
        r.trace += at;
        r.trace += line.substr(comma);
    }
}

// What a handler may do: write what is kept as it stands.
void write_report(Report& r) {
    if (!r.on || r.written != 0) return;
    r.written = 1;
    report_host::write_bytes(r.fd, r.head);
    report_host::write_bytes(r.fd, r.console);
    char last = r.console.empty() ? '\n' : r.console.back();
    const size_t n = r.handler_count.load();
    for (size_t i = r.handler_taken; i < n && i < r.handler_texts.size(); ++i) {
        const std::string_view text(r.handler_texts[i].text.load(), r.handler_texts[i].size);
        report_host::write_bytes(r.fd, text);
        if (!text.empty()) last = text.back();
    }
    // the trace's heading is a line of its own, also after output that ends in the middle of one
    // ("###All Done." has no line end)
    report_host::write_bytes(r.fd, last == '\n' ? "--- trace ---\n" : "\n--- trace ---\n");
    report_host::write_bytes(r.fd, r.trace);
}

void finish_at_exit() {
    Report& r = report();
    if (!r.on || r.written != 0) return;
    {
        const report_host::Hold hold;
        take_handler_texts(r);
        rebuild_head(r);
        write_report(r);
    }
    console_set_tee(nullptr);
    report_host::close_file(r.fd);
}

}  // namespace

void report_start(const InstallRun& run, int argc, char** argv) {
    const char* path = std::getenv("TESSARO_REPORT");
    if (path == nullptr || *path == '\0') return;
    Report& r = report();
    std::string why;
    r.fd = report_host::create_file(path, &why);
    if (r.fd < 0) {
        con_err(
            "\nwarning: the report file %s cannot be written (%s); the run goes on without "
            "a report\n",
            path, why.c_str());
        return;
    }
    r.run = &run;
    r.date = utc_now(false);
    r.host = report_host::host_name();
    for (int i = 1; i < argc; ++i) {
        if (i > 1) r.arguments += ' ';
        r.arguments += device_text(argv[i]);
    }
    rebuild_head(r);
    r.on = true;
    std::atexit(finish_at_exit);
    console_set_tee(on_console);
    trace::set_sink(on_trace);
}

void report_end() {
    finish_at_exit();
}

bool report_on() {
    return report().on;
}

void report_handler_text(std::string_view text) {
    Report& r = report();
    if (!r.on) return;
    const size_t i = r.handler_count.load();
    if (i >= r.handler_texts.size()) return;
    r.handler_texts[i].text = text.data();
    r.handler_texts[i].size = text.size();
    r.handler_count = i + 1;
}

void report_finish_at_signal() {
    // a Windows control handler runs on a thread of its own: it waits for a change under way
    const report_host::Hold hold;
    write_report(report());
}
