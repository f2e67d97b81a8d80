// The runs' reports (the installer's TESSARO_REPORT), kept in the user's state directory so
// that a failed run's record outlives the server: the last 20, listed for the page and saved
// from it by a name the server checks.
#pragma once

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "web/session.h"

namespace web {

constexpr size_t kPastRunsKept = 20;

// A report's name as the server gives it: "tessaro-" then letters, digits, ".", "-" and "_",
// then ".txt", at most 128 bytes. Anything else (a path, "..", a name of another file there)
// is not one.
[[nodiscard]] bool is_report_name(std::string_view name);

class PastRuns {
  public:
    // Kept in the user's state directory, or in `fallback` (gone with the server) when there is
    // none.
    explicit PastRuns(const std::filesystem::path& fallback);

    // A new, empty report file for a run of the device at `place` with the serial number
    // `serial`, named by the time and the serial number cleaned, once the oldest reports are
    // removed so that it is the 20th. Empty when none could be made.
    [[nodiscard]] std::filesystem::path begin_run(const std::string& place,
                                                  std::string_view serial);

    // GET /api/past-runs: {"dir","runs":[{"name","date","device","outcome","bytes"}]}, the newest
    // first; GET /api/report?name=NAME and ?path=PLACE (that device's last run here): the
    // report as an attachment. False for any other request.
    bool answer(const Request& req, const std::string& path, Response& res) const;

  private:
    [[nodiscard]] std::vector<std::string> names() const;  // the oldest first
    [[nodiscard]] nlohmann::json listed(const std::string& name) const;
    void send(const std::string& name, Response& res) const;

    std::filesystem::path dir_;
    std::map<std::string, std::string> by_place_;  // a device's last report, by place
};

}  // namespace web
