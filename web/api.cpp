#include "web/api.h"

#include <fstream>
#include <sstream>

#include "web/package.h"
#include "web/policy.h"
#include "web/reader.h"

namespace web {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using json = nlohmann::json;

Api::Api(asio::io_context& io, const ServerOptions& options, std::filesystem::path run_dir,
         Publish publish, std::function<void()> ended)
    : io_(io),
      options_(options),
      run_dir_(std::move(run_dir)),
      publish_(std::move(publish)),
      ended_(std::move(ended)),
      past_(run_dir_) {}

std::string download_name(std::string_view serial) {
    std::string out;
    for (const char c : serial) {
        if (out.size() == 64) break;
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        out += plain ? c : '_';
    }
    // a name of dots alone would be this directory or the one above it
    if (out.find_first_not_of("._") == std::string::npos) return "device";
    return out;
}

namespace {

// The device's place in a request body: a JSON object whose "path" is a text.
std::string body_place(const json& body) {
    if (!body.is_object() || !body.contains("path") || !body["path"].is_string()) return {};
    return body["path"];
}

}  // namespace

std::vector<std::string> Api::running() const {
    std::vector<std::string> out;
    for (const auto& [place, run] : runs_) {
        if (run->running()) out.push_back(place);
    }
    return out;
}

std::vector<std::string> Api::stop_all() {
    if (!stopping_) {
        stopping_ = true;
        publish_(devices_json());
    }
    std::vector<std::string> writing;
    for (const auto& [place, run] : runs_) {
        if (!run->running()) continue;
        if (!run->waiting()) writing.push_back(place);
        (void)run->stop();
    }
    return writing;
}

void Api::stop_tick() {
    for (const auto& [place, run] : runs_) run->stop_tick();
}

void Api::take_listing(const std::string& out) {
    Listing now = read_listing(out, listing_, running());
    if (now.devices == listing_.devices && now.problems == listing_.problems) return;
    listing_ = std::move(now);
    publish_(devices_json());
}

void Api::replay(const std::function<void(const json&)>& push) const {
    push(devices_json());
    for (const auto& [place, p] : previews_) push(p.event(place));
    for (const auto& [place, run] : runs_) {
        for (const auto& j : run->history()) push(j);
    }
}

json Api::devices_json() const {
    json runs = json::object();
    for (const auto& [place, run] : runs_) {
        runs[place] = {
            {"state", run->state()}, {"running", run->running()}, {"preview", run->preview()}};
    }
    return {{"type", "devices"},
            {"devices", listing_.devices},
            {"problems", listing_.problems},
            {"runs", runs},
            {"stopping", stopping_}};
}

json Api::package_json() const {
    const Package p = read_package(options_.package_dir);
    json images = json::array();
    for (const auto& i : p.images) {
        images.push_back(
            {{"name", i.name}, {"size", i.size}, {"signature", signature_name(i.signature)}});
    }
    return {{"dir", p.dir.string()},
            {"model", p.model},
            {"native", p.native},
            {"second", p.second},
            {"images", images}};
}

void Api::answer(const Request& req, const std::string& path, Response& r) {
    r.result(http::status::ok);
    if (req.method() == http::verb::get) {
        if (path == "/api/package") {
            r.set(http::field::content_type, "application/json");
            r.body() = package_json().dump();
            return;
        }
        if (path == "/api/devices") {
            r.set(http::field::content_type, "application/json");
            r.body() = devices_json().dump();
            return;
        }
        if (path == "/api/log" || path == "/api/trace") {
            return download(path, query_value(view(req.target()), "path"), r);
        }
        if (past_.answer(req, path, r)) return;
    } else if (req.method() == http::verb::post) {
        if (path == "/api/install") return install(req, r, false);
        if (path == "/api/preview") return install(req, r, true);
        if (path == "/api/choice") return choose(req, r);
        if (path == "/api/stop") return stop(req, r);
    }
    r.result(http::status::not_found);
    r.body() = "not found\n";
}

void Api::download(const std::string& path, const std::string& place, Response& r) const {
    auto run = runs_.find(place);
    if (run == runs_.end()) {
        r.result(http::status::not_found);
        r.body() = "no run of this device\n";
        return;
    }
    const bool log = path == "/api/log";
    // the name is made of the serial number cleaned: a device's text never reaches a header as
    // it is
    r.set(http::field::content_disposition, "attachment; filename=\"tessaro-" + names_.at(place) +
                                                (log ? ".txt\"" : "-trace.jsonl\""));
    std::ifstream in(log ? run->second->files().log : run->second->files().trace, std::ios::binary);
    if (!log) {
        std::ostringstream s;
        s << in.rdbuf();
        r.body() = s.str();
        return;
    }
    // the installer's bytes as UTF-8, line by line as the reader takes them (GBK under another
    // locale)
    r.set(http::field::content_type, "text/plain; charset=utf-8");
    for (std::string line; std::getline(in, line);) {
        r.body() += to_utf8(line);
        if (!in.eof()) r.body() += '\n';
    }
}

void Api::install(const Request& req, Response& res, bool preview) {
    const json body = json::parse(req.body(), nullptr, false);
    if (!body.is_object() || !body.contains("path") || !body["path"].is_string()) {
        res.result(http::status::bad_request);
        res.body() = "a JSON object with the device's place (\"path\") is expected";
        return;
    }
    const std::string place = body["path"];
    auto refuse = [&res](std::string why) {
        res.result(http::status::forbidden);
        res.body() = std::move(why);
    };
    if (stopping_) return refuse("the server is stopping: it takes no new install");
    // the installer is handed the place as its SERIAL, which it matches against each device's
    // serial number and place: so only a place of the current listing, held by one device
    // alone, and which no listed device has as its serial number
    const json* device = nullptr;
    size_t at_place = 0;
    bool taken_as_serial = false;
    for (const auto& d : listing_.devices) {
        if (!place.empty() && d.value("path", "") == place) {
            device = &d;
            ++at_place;
        }
        taken_as_serial = taken_as_serial || d.value("serial", "") == place;
    }
    if (device == nullptr) return refuse("no device is listed at this place");
    if (at_place > 1 || taken_as_serial) {
        return refuse("another device answers to this place too; unplug the others to install");
    }
    if (auto r = runs_.find(place); r != runs_.end() && r->second->running()) {
        return refuse("an install already runs on this device");
    }
    const auto planned = previews_.find(place);
    const bool as_planned = !preview && body.contains("plan") && body["plan"] == true;
    if (as_planned && (planned == previews_.end() || planned->second.last == 0)) {
        return refuse("no preview of this device to install");
    }
    // the model alone: the images' signatures are the page's to show, and reading them whole
    // here would hold up every other event while they are read
    const std::string model = package_model(options_.package_dir);
    if (!package_fits(model, device->value("model", ""))) {
        return refuse("the package is for " + (model.empty() ? std::string("no model") : model) +
                      ", the device is a " + device->value("model", "device of unknown model"));
    }
    const std::string base = "run-" + std::to_string(++run_count_);
    const Run::Files files{run_dir_ / (base + ".log"), run_dir_ / (base + "-trace.jsonl")};
    ChildLaunch launch{options_.installer,
                       {"1", "-1", place},
                       options_.package_dir,
                       {{"TESSARO_TRACE", files.trace.string()}}};
    // the plan's file is named here, never by the request
    const auto plan_file = run_dir_ / (base + "-plan.json");
    if (preview) {
        launch.args.insert(launch.args.begin(), "--dry-run");
        launch.env.emplace_back("TESSARO_PLAN", plan_file.string());
    } else {
        // the installer writes the run's report itself, however the run ends
        const auto report = past_.begin_run(place, device->value("serial", ""));
        if (!report.empty()) launch.env.emplace_back("TESSARO_REPORT", report.string());
    }
    try {
        runs_.erase(place);  // a finished run of this device: its threads have ended
        runs_[place] = std::make_unique<Run>(
            place, launch, files,
            [this](std::function<void()> task) { asio::post(io_, std::move(task)); },
            [this, place, plan_file](const json& j) {
                if (j.value("type", "") == "end" && j.value("preview", false)) {
                    previewed(place, plan_file);
                }
                publish_(j);
                if (j.value("type", "") == "end") {
                    publish_(devices_json());
                    ended_();
                }
            });
    } catch (const std::exception& e) {
        runs_.erase(place);
        res.result(http::status::internal_server_error);
        res.body() = e.what();
        return;
    }
    Run& run = *runs_[place];
    run.identify(device_identity(*device));
    if (preview) run.set_preview();
    if (as_planned) run.answer_as(planned->second.last, planned->second.identity);
    names_[place] = download_name(device->value("serial", ""));
    publish_(devices_json());
    res.result(http::status::ok);
    res.set(http::field::content_type, "application/json");
    res.body() = json{{"path", place}}.dump();
}

void Api::previewed(const std::string& place, const std::filesystem::path& plan_file) {
    const Run& run = *runs_.at(place);
    json plan = read_plan(plan_file);
    // the plan of an install that would end done: one of Exit, or of a run that fails, is none
    if (plan.is_null() || run.state() != "done" || run.chosen() == 0 || run.chosen() == '0') {
        return;
    }
    Previews& p = previews_[place];
    p.take(run.seen(), run.chosen(), std::move(plan));
    publish_(p.event(place));
}

void Api::choose(const Request& req, Response& res) {
    const json body = json::parse(req.body(), nullptr, false);
    const bool ok = body.is_object() && body.contains("key") && body["key"].is_string() &&
                    body["key"].get<std::string>().size() == 1;
    auto r = ok ? runs_.find(body_place(body)) : runs_.end();
    if (r == runs_.end() || !r->second->choose(body["key"].get<std::string>()[0])) {
        res.result(http::status::bad_request);
        res.body() = "no menu of this device waits for that choice";
        return;
    }
    res.result(http::status::ok);
    res.body() = "{}";
}

void Api::stop(const Request& req, Response& res) {
    auto r = runs_.find(body_place(json::parse(req.body(), nullptr, false)));
    if (r == runs_.end() || !r->second->stop()) {
        res.result(http::status::bad_request);
        res.body() = "no install runs on this device";
        return;
    }
    res.result(http::status::ok);
    res.body() = "{}";
}

}  // namespace web
