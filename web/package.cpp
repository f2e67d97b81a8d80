#include "web/package.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <system_error>

#include "check/crc32.h"

namespace web {

namespace fs = std::filesystem;

namespace {

bool nonempty(const fs::path& p) {
    std::error_code ec;
    return fs::is_regular_file(p, ec) && fs::file_size(p, ec) > 0 && !ec;
}

Signature signature_of(const fs::path& image) {
    fs::path sign = image;
    sign.replace_extension(".sign");
    // an empty signature counts as none, as the installer takes it
    if (!nonempty(sign)) return Signature::None;
    return crc32check(image.string().c_str(), sign.string().c_str()) == 1 ? Signature::Matches
                                                                          : Signature::Differs;
}

}  // namespace

std::string_view signature_name(Signature s) {
    switch (s) {
        case Signature::Matches:
            return "matches";
        case Signature::Differs:
            return "differs";
        case Signature::None:
            return "none";
    }
    return "none";
}

std::string package_model(const fs::path& dir) {
    std::string model;
    if (std::ifstream config(dir / "config.bin"); config) {
        std::getline(config, model);
        while (!model.empty() && (model.back() == '\r' || model.back() == ' ')) model.pop_back();
    }
    return model;
}

Package read_package(const fs::path& dir) {
    Package p;
    p.dir = dir;
    p.model = package_model(dir);
    auto has = [&](const char* name) { return nonempty(dir / name); };
    p.native = has("system.bin") && has("kernel.bin");
    p.second =
        (has("esystem.bin") && (has("vemkit.bin") || has("ekernel.bin"))) || has("edata.bin");
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        const fs::path& path = entry.path();
        if (!entry.is_regular_file(ec) || path.extension() != ".bin" ||
            path.filename() == "config.bin") {
            continue;
        }
        p.images.push_back({path.filename().string(), entry.file_size(ec), signature_of(path)});
    }
    std::sort(p.images.begin(), p.images.end(),
              [](const Image& a, const Image& b) { return a.name < b.name; });
    return p;
}

bool package_fits(std::string_view config, std::string_view model) {
    if (model.empty() || config.empty()) return false;
    if (config.substr(0, model.size()) == model) return true;
    // "belto" is the platform name the pagora7, vrx3 and selkin packages share
    constexpr std::array belto{"pagora7", "vrx3", "selkin"};
    return config.substr(0, 5) == "belto" &&
           std::find(belto.begin(), belto.end(), model) != belto.end();
}

}  // namespace web
