// A preview: the installer's dry run of one choice on a device, its plan, and what the device
// and the run showed of themselves then, so that "Install this plan" answers the real run's menu
// with the same choice only while the device still answers as it did.
#pragma once

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "web/reader.h"

namespace web {

// What a run shows of the device before its first menu is answered: the listing's facts of the
// device when the run started, the loader versions ("###Ver:") the run told before its menu,
// and the menu it offered.
struct Identity {
    std::string serial, model, loader, system, variant;  // the listing's
    std::vector<std::string> loaders;
    std::vector<std::string> header;  // the first menu's heading lines
    std::string choices;              // its keys and texts, "1:text\n2:text\n..."
    bool menu = false;                // the run has shown its first menu
};

// The listing's facts of a device (one entry of the listing's "devices").
[[nodiscard]] Identity device_identity(const nlohmann::json& device);
// Takes one event of the run into what it showed, up to its first menu.
void take_event(Identity& id, const Event& e);
// Why the device or the run now differs from what the preview saw, in the page's two languages
// ({"en":...,"zh":...}); null when nothing differs.
[[nodiscard]] nlohmann::json differs(const Identity& preview, const Identity& now);

// The plan a dry run wrote to TESSARO_PLAN, with only the fields the page shows, each of the type
// it expects; null when the file is missing, too long or not the installer's plan.
[[nodiscard]] nlohmann::json read_plan(const std::filesystem::path& file);

// The previews of one device: the plan of each choice previewed while the device showed the
// same identity, and the last choice previewed.
struct Previews {
    Identity identity;
    std::map<char, nlohmann::json> plans;
    char last = 0;

    // Keeps a preview of `key`; the plans of another identity are dropped.
    void take(const Identity& id, char key, nlohmann::json plan);
    // The event the page is given: {"type":"preview","path","key","plans":{KEY:PLAN}}.
    [[nodiscard]] nlohmann::json event(const std::string& place) const;
};

}  // namespace web
