#include "web/api.h"

#include <fstream>
#include <sstream>

#include "web/package.h"
#include "web/policy.h"

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
      ended_(std::move(ended)) {}

std::vector<std::string> Api::running() const {
    std::vector<std::string> out;
    for (const auto& [serial, run] : runs_) {
        if (run->running()) out.push_back(serial);
    }
    return out;
}

void Api::take_listing(const std::string& out) {
    Listing now = read_listing(out, listing_, running());
    if (now.devices == listing_.devices && now.problems == listing_.problems) return;
    listing_ = std::move(now);
    publish_(devices_json());
}

void Api::replay(const std::function<void(const json&)>& push) const {
    push(devices_json());
    for (const auto& [serial, run] : runs_) {
        for (const auto& j : run->history()) push(j);
    }
}

json Api::devices_json() const {
    json runs = json::object();
    for (const auto& [serial, run] : runs_) {
        runs[serial] = {{"state", run->state()}, {"running", run->running()}};
    }
    return {{"type", "devices"},
            {"devices", listing_.devices},
            {"problems", listing_.problems},
            {"runs", runs}};
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
    auto refuse = [&r](http::status s, std::string why) {
        r.result(s);
        r.body() = std::move(why) + "\n";
    };
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
            return download(path, query_value(view(req.target()), "serial"), r);
        }
    } else if (req.method() == http::verb::post) {
        if (path == "/api/install") return install(req, r);
        if (path == "/api/choice") return choose(req, r);
    }
    return refuse(http::status::not_found, "not found");
}

void Api::download(const std::string& path, const std::string& serial, Response& r) const {
    auto run = runs_.find(serial);
    if (run == runs_.end()) {
        r.result(http::status::not_found);
        r.body() = "no run of this device\n";
        return;
    }
    r.set(http::field::content_disposition,
          "attachment; filename=\"" + serial + (path == "/api/log" ? ".txt\"" : "-trace.jsonl\""));
    if (path == "/api/log") {
        r.body() = run->second->console();
    } else {
        std::ifstream in(run->second->trace(), std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        r.body() = s.str();
    }
}

void Api::install(const Request& req, Response& res) {
    const json body = json::parse(req.body(), nullptr, false);
    if (!body.is_object() || !body.contains("serial") || !body["serial"].is_string()) {
        res.result(http::status::bad_request);
        res.body() = "a JSON object with the device's serial number is expected";
        return;
    }
    const std::string serial = body["serial"];
    const json* device = nullptr;
    for (const auto& d : listing_.devices) {
        if (d.value("serial", "") == serial) device = &d;
    }
    auto refuse = [&res](std::string why) {
        res.result(http::status::forbidden);
        res.body() = std::move(why);
    };
    // only a device of the current listing: the serial is never a text the installer is
    // handed unchecked
    if (device == nullptr) return refuse("no device with this serial number is listed");
    if (auto r = runs_.find(serial); r != runs_.end() && r->second->running()) {
        return refuse("an install already runs on this device");
    }
    // the model alone: the images' signatures are the page's to show, and reading them whole
    // here would hold up every other event while they are read
    const std::string model = package_model(options_.package_dir);
    if (!package_fits(model, device->value("model", ""))) {
        return refuse("the package is for " + (model.empty() ? std::string("no model") : model) +
                      ", the device is a " + device->value("model", "device of unknown model"));
    }
    const auto trace = run_dir_ / (serial + "-trace.jsonl");
    std::error_code ec;
    std::filesystem::remove(trace, ec);
    ChildLaunch launch{options_.installer,
                       {"1", "-1", serial},
                       options_.package_dir,
                       {{"TESSARO_TRACE", trace.string()}}};
    try {
        runs_.erase(serial);  // a finished run of this device: its threads have ended
        runs_[serial] = std::make_unique<Run>(
            serial, launch, trace,
            [this](std::function<void()> task) { asio::post(io_, std::move(task)); },
            [this](const json& j) {
                publish_(j);
                if (j.value("type", "") == "end") {
                    publish_(devices_json());
                    ended_();
                }
            });
    } catch (const std::exception& e) {
        runs_.erase(serial);
        res.result(http::status::internal_server_error);
        res.body() = e.what();
        return;
    }
    publish_(devices_json());
    res.result(http::status::ok);
    res.set(http::field::content_type, "application/json");
    res.body() = json{{"serial", serial}}.dump();
}

void Api::choose(const Request& req, Response& res) {
    const json body = json::parse(req.body(), nullptr, false);
    const bool ok = body.is_object() && body.contains("serial") && body["serial"].is_string() &&
                    body.contains("key") && body["key"].is_string() &&
                    body["key"].get<std::string>().size() == 1;
    auto r = ok ? runs_.find(body["serial"].get<std::string>()) : runs_.end();
    if (r == runs_.end() || !r->second->choose(body["key"].get<std::string>()[0])) {
        res.result(http::status::bad_request);
        res.body() = "no menu of this device waits for that choice";
        return;
    }
    res.result(http::status::ok);
    res.body() = "{}";
}

}  // namespace web
