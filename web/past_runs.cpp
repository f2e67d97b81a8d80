// The reports in the state directory: named here, pruned here, read back only by a checked
// name. A report is the installer's file and is read as untrusted text: its header lines and
// the trace's last line, within a few KiB each.
#include "web/past_runs.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fstream>

#include "web/api.h"
#include "web/child.h"
#include "web/policy.h"

namespace web {

namespace http = boost::beast::http;
using json = nlohmann::json;

namespace {

constexpr size_t kLooked = 4096;       // of a report's head and tail, for the list
constexpr size_t kServed = 64U << 20;  // a report larger than this is cut when saved

// The UTC time as "20261210-065001".
std::string stamp() {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm tm{};
#ifdef _WIN32
    gmtime_s(&tm, &now);
#else
    gmtime_r(&now, &tm);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &tm);
    return text;
}

std::string read_part(const std::filesystem::path& file, bool tail, size_t* total) {
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    const auto size = static_cast<size_t>(std::max<std::streamoff>(0, in.tellg()));
    *total = size;
    const size_t n = std::min(size, kLooked);
    in.seekg(static_cast<std::streamoff>(tail ? size - n : 0));
    std::string out(n, '\0');
    in.read(out.data(), static_cast<std::streamsize>(n));
    out.resize(static_cast<size_t>(std::max<std::streamsize>(0, in.gcount())));
    return out;
}

// The value of a header line "key: value" in the report's head; empty when it has none.
std::string header(const std::string& head, std::string_view key) {
    const std::string start = std::string(key) + ": ";
    for (size_t at = 0; at < head.size();) {
        const size_t end = std::min(head.find('\n', at), head.size());
        const std::string_view line(head.data() + at, end - at);
        if (line == "--- console ---") break;
        if (line.starts_with(start)) return std::string(line.substr(start.size()));
        at = end + 1;
    }
    return {};
}

// How the run ended, from the trace's last line; empty when it did not say.
std::string outcome(const std::string& tail) {
    size_t end = tail.size();
    while (end > 0 && tail[end - 1] == '\n') --end;
    const size_t begin = tail.rfind('\n', end == 0 ? 0 : end - 1);
    const json last = json::parse(tail.substr(begin == std::string::npos ? 0 : begin + 1,
                                              end - (begin == std::string::npos ? 0 : begin + 1)),
                                  nullptr, false);
    if (!last.is_object() || last.value("ev", "") != "end") return {};
    const auto o = last.find("outcome");
    return o != last.end() && o->is_string() ? o->get<std::string>() : std::string();
}

}  // namespace

bool is_report_name(std::string_view name) {
    if (name.size() > 128 || !name.starts_with("tessaro-") || !name.ends_with(".txt")) {
        return false;
    }
    return std::ranges::all_of(name, [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '-' || c == '_';
    });
}

PastRuns::PastRuns(const std::filesystem::path& fallback) : dir_(user_state_dir()) {
    if (dir_.empty()) dir_ = fallback;
}

std::vector<std::string> PastRuns::names() const {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir_, ec)) {
        const std::string name = e.path().filename().string();
        if (is_report_name(name) && e.is_regular_file(ec) && !e.is_symlink(ec)) {
            out.push_back(name);
        }
    }
    // the names begin with their time, which sorts as the text does
    std::ranges::sort(out);
    return out;
}

std::filesystem::path PastRuns::begin_run(const std::string& place, std::string_view serial) {
    std::vector<std::string> kept = names();
    std::error_code ec;
    for (size_t i = 0; i + kPastRunsKept <= kept.size(); ++i) {
        std::filesystem::remove(dir_ / kept[i], ec);
    }
    const std::string base = "tessaro-" + stamp() + "-" + download_name(serial);
    for (int n = 1; n < 100; ++n) {
        // built by appends: GCC 12 at -O3 reports a false overlap in `"-" + std::to_string(n)`
        std::string name = base;
        if (n > 1) name.append("-").append(std::to_string(n));
        name.append(".txt");
        // made here, new, only this user's; the installer writes it
        if (write_private_file(dir_ / name, "")) {
            by_place_[place] = name;
            return dir_ / name;
        }
    }
    return {};
}

json PastRuns::listed(const std::string& name) const {
    size_t bytes = 0;
    const std::string head = read_part(dir_ / name, false, &bytes);
    const std::string tail = read_part(dir_ / name, true, &bytes);
    return {{"name", name},
            {"date", header(head, "date")},
            {"device", header(head, "device")},
            {"outcome", outcome(tail)},
            {"bytes", bytes}};
}

void PastRuns::send(const std::string& name, Response& r) const {
    const std::vector<std::string> kept = names();
    if (std::ranges::find(kept, name) == kept.end()) {
        r.result(http::status::not_found);
        r.body() = "no such report\n";
        return;
    }
    std::ifstream in(dir_ / name, std::ios::binary | std::ios::ate);
    const auto size = static_cast<size_t>(std::max<std::streamoff>(0, in.tellg()));
    in.seekg(0);
    std::string body(std::min(size, kServed), '\0');
    in.read(body.data(), static_cast<std::streamsize>(body.size()));
    body.resize(static_cast<size_t>(in.gcount()));
    r.set(http::field::content_type, "text/plain; charset=utf-8");
    // a name checked above: letters, digits, ".", "-" and "_" only
    r.set(http::field::content_disposition, "attachment; filename=\"" + name + "\"");
    r.body() = std::move(body);
}

bool PastRuns::answer(const Request& req, const std::string& path, Response& r) const {
    if (req.method() != http::verb::get) return false;
    if (path == "/api/past-runs") {
        json runs = json::array();
        std::vector<std::string> kept = names();
        std::ranges::reverse(kept);  // the newest first
        for (const std::string& name : kept) runs.push_back(listed(name));
        r.set(http::field::content_type, "application/json");
        // a report's text is the installer's and may hold any bytes
        r.body() = json{{"dir", dir_.string()}, {"runs", runs}}.dump(
            -1, ' ', false, json::error_handler_t::replace);
        return true;
    }
    if (path != "/api/report") return false;
    const std::string target(view(req.target()));
    std::string name = query_value(target, "name");
    if (name.empty()) {
        const auto at = by_place_.find(query_value(target, "path"));
        if (at != by_place_.end()) name = at->second;
    }
    if (!is_report_name(name)) {
        r.result(http::status::not_found);
        r.body() = "no such report\n";
        return true;
    }
    send(name, r);
    return true;
}

}  // namespace web
