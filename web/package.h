// What the page shows of a package directory: the model its config.bin names, which system
// sets it holds, and each image with its size and signature state. Read once when asked.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace web {

enum class Signature { Matches, Differs, None };

struct Image {
    std::string name;
    uint64_t size = 0;
    Signature signature = Signature::None;
};

struct Package {
    std::filesystem::path dir;
    std::string model;    // config.bin's first line; empty when there is none
    bool native = false;  // system.bin and kernel.bin
    bool second = false;  // esystem.bin with vemkit.bin or ekernel.bin, or edata.bin
    std::vector<Image> images;
};

// Reads every image whole for its signature: for the page's package view, not for each request.
[[nodiscard]] Package read_package(const std::filesystem::path& dir);
// config.bin's first line alone; empty when there is none.
[[nodiscard]] std::string package_model(const std::filesystem::path& dir);
[[nodiscard]] std::string_view signature_name(Signature s);
// Whether a package whose config.bin names `config` is meant for a device of model `model`
// (the listing's model name): the name itself, or the platform name several models share.
[[nodiscard]] bool package_fits(std::string_view config, std::string_view model);

}  // namespace web
