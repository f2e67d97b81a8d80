// The API's handlers: the package, the devices, an install per device, the menu's choices and
// the runs' downloads. The server's thread only; requests reach them once the policy let them.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "web/asio.h"
#include "web/listing.h"
#include "web/past_runs.h"
#include "web/preview.h"
#include "web/runs.h"
#include "web/server.h"
#include "web/session.h"

namespace web {

class Api {
  public:
    using Publish = std::function<void(const nlohmann::json&)>;
    // `publish` takes every event for the live-event clients; `ended` is called after a run's end.
    Api(boost::asio::io_context& io, const ServerOptions& options, std::filesystem::path run_dir,
        Publish publish, std::function<void()> ended);

    // Answers GET and POST of /api/... (404 for a path it does not know).
    void answer(const Request& req, const std::string& path, Response& res);
    // Takes a listing's output.
    void take_listing(const std::string& out);
    // What a live-event client is given first: the devices and every run's events so far.
    void replay(const std::function<void(const nlohmann::json&)>& push) const;
    // The places of the installs that run.
    [[nodiscard]] std::vector<std::string> running() const;
    // The server is stopping (its first Ctrl+C): no new install; every run is sent its Stop,
    // which ends those that wait at a menu or for a device now. Gives the places of the runs
    // that write, which go on to their next wait.
    [[nodiscard]] std::vector<std::string> stop_all();
    // Sends each asked Stop again, for a run that reached a wait since (once a second).
    void stop_tick();

  private:
    [[nodiscard]] nlohmann::json devices_json() const;
    [[nodiscard]] nlohmann::json package_json() const;
    // An install, or with `preview` the dry run of one; an install whose body asks for "plan"
    // answers its menu as the last preview of the device did.
    void install(const Request& req, Response& res, bool preview);
    // A preview run's end: its plan kept, and told.
    void previewed(const std::string& place, const std::filesystem::path& plan_file);
    void choose(const Request& req, Response& res);
    void stop(const Request& req, Response& res);
    void download(const std::string& path, const std::string& place, Response& res) const;

    boost::asio::io_context& io_;
    const ServerOptions& options_;
    std::filesystem::path run_dir_;
    Publish publish_;
    std::function<void()> ended_;
    Listing listing_;
    std::map<std::string, std::unique_ptr<Run>> runs_;  // by place
    std::map<std::string, std::string> names_;          // a run's download name, by place
    PastRuns past_;                                     // the runs' reports
    std::map<std::string, Previews> previews_;          // by place
    unsigned run_count_ = 0;  // run files are named by this count, never by the device's text
    bool stopping_ = false;
};

// A file name made of the device's serial number: letters, digits, ".", "-" and "_" only, at
// most 64 of them; "device" when none is left.
[[nodiscard]] std::string download_name(std::string_view serial);

}  // namespace web
