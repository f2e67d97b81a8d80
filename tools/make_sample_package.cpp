// make_sample_package: writes a firmware package of random images into a directory, with a
// ".sign" file (CRC-32, 8 lowercase hexadecimal digits) beside every image and "config.bin"
// naming the model, for trying the installer on a simulated device.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_file.h"
#include "check/crc32.h"
#include "console/console.h"

namespace fs = std::filesystem;

namespace {

constexpr char kUsage[] =
    "usage: make_sample_package DIR [options]\n"
    "\n"
    "Writes random images, a .sign file beside each and config.bin into DIR (created if\n"
    "missing). Without a set or --file, the two RQ3 sets are written.\n"
    "\n"
    "  --model NAME         first line of config.bin (default pagora8); --no-config: none\n"
    "  --rq3-native         data.bin recovery.bin kernel.bin system.bin\n"
    "  --rq3-second         userdata.bin ekernel.bin vemkit.bin esystem.bin\n"
    "  --native             system.bin var.bin kernel.bin data.bin\n"
    "  --second             esystem.bin edata.bin vemkit.bin\n"
    "  --file NAME          one more image of that name (may be repeated)\n"
    "  --size BYTES         size of every image (default 65536; K and M suffixes)\n"
    "  --size-of NAME=BYTES size of one image\n"
    "  --seed N             seed of the random bytes (default 1)\n"
    "  --no-sign            write no .sign files\n";

using base::unique_file;

constexpr std::string_view kRq3Native[] = {"data.bin", "recovery.bin", "kernel.bin", "system.bin"};
constexpr std::string_view kRq3Second[] = {"userdata.bin", "ekernel.bin", "vemkit.bin",
                                           "esystem.bin"};
constexpr std::string_view kNative[] = {"system.bin", "var.bin", "kernel.bin", "data.bin"};
constexpr std::string_view kSecond[] = {"esystem.bin", "edata.bin", "vemkit.bin"};

// A byte count with an optional K or M suffix; false when the text is not one.
bool parse_size(std::string_view text, uint64_t* out) {
    if (text.empty()) return false;
    std::string s(text);
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(s.c_str(), &end, 10);
    if (errno != 0 || end == s.c_str() || s[0] == '-') return false;
    std::string_view rest(end);
    uint64_t unit = 1;
    if (rest == "K" || rest == "k") {
        unit = 1024;
    } else if (rest == "M" || rest == "m") {
        unit = uint64_t{1024} * 1024;
    } else if (!rest.empty()) {
        return false;
    }
    if (v > UINT32_MAX / unit) return false;  // package files stay below 4 GiB
    *out = v * unit;
    return true;
}

// Writes `size` random bytes to `path` and gives their CRC-32.
bool write_image(const fs::path& path, uint64_t size, std::mt19937& rng, uint32_t* crc) {
    unique_file f(std::fopen(path.c_str(), "wb"));
    if (!f) return false;
    std::vector<unsigned char> block(65536);
    uint32_t c = 0;
    for (uint64_t left = size; left > 0;) {
        size_t n = left < block.size() ? static_cast<size_t>(left) : block.size();
        for (size_t i = 0; i < n; ++i) block[i] = static_cast<unsigned char>(rng());
        if (std::fwrite(block.data(), 1, n, f.get()) != n) return false;
        c = get_crc32(c, block.data(), static_cast<uint32_t>(n));
        left -= n;
    }
    *crc = c;
    return std::fclose(f.release()) == 0;
}

bool write_text(const fs::path& path, const std::string& text) {
    unique_file f(std::fopen(path.c_str(), "wb"));
    if (!f) return false;
    if (std::fwrite(text.data(), 1, text.size(), f.get()) != text.size()) return false;
    return std::fclose(f.release()) == 0;
}

// ".bin" files get "NAME.sign"; any other name gets its name with ".sign" appended.
std::string sign_name(const std::string& image) {
    std::string_view v(image);
    if (v.size() > 4 && v.substr(v.size() - 4) == ".bin")
        return std::string(v.substr(0, v.size() - 4)) + ".sign";
    return image + ".sign";
}

}  // namespace

int main(int argc, char** argv) {
    console_init();
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0) {
        con_out("%s", kUsage);
        return argc < 2 ? 2 : 0;
    }
    fs::path dir = argv[1];
    std::string model = "pagora8";
    bool config = true;
    bool sign = true;
    uint64_t size = 65536;
    unsigned long seed = 1;
    std::vector<std::string> files;
    std::map<std::string, uint64_t> sizes;
    auto add = [&files](std::span<const std::string_view> set) {
        for (const auto& f : set) {
            bool have = false;
            for (const auto& g : files) have = have || g == f;
            if (!have) files.emplace_back(f);
        }
    };

    for (int i = 2; i < argc; ++i) {
        std::string_view a = argv[i];
        bool has_value = i + 1 < argc;
        if (a == "--model" && has_value) {
            model = argv[++i];
        } else if (a == "--no-config") {
            config = false;
        } else if (a == "--no-sign") {
            sign = false;
        } else if (a == "--rq3-native") {
            add(kRq3Native);
        } else if (a == "--rq3-second") {
            add(kRq3Second);
        } else if (a == "--native") {
            add(kNative);
        } else if (a == "--second") {
            add(kSecond);
        } else if (a == "--file" && has_value) {
            const std::string_view file = argv[++i];
            add({&file, 1});
        } else if (a == "--size" && has_value) {
            if (!parse_size(argv[++i], &size)) {
                con_err("make_sample_package: not a size: %s\n", argv[i]);
                return 2;
            }
        } else if (a == "--size-of" && has_value) {
            std::string_view v = argv[++i];
            auto eq = v.find('=');
            uint64_t n = 0;
            if (eq == std::string_view::npos || eq == 0 || !parse_size(v.substr(eq + 1), &n)) {
                con_err("make_sample_package: expected NAME=BYTES: %s\n", argv[i]);
                return 2;
            }
            sizes[std::string(v.substr(0, eq))] = n;
        } else if (a == "--seed" && has_value) {
            seed = std::strtoul(argv[++i], nullptr, 10);
        } else {
            con_err("make_sample_package: unknown option: %s\n%s", argv[i], kUsage);
            return 2;
        }
    }
    if (files.empty()) {
        add(kRq3Native);
        add(kRq3Second);
    }

    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        con_err("make_sample_package: cannot create %s: %s\n", dir.c_str(), ec.message().c_str());
        return 1;
    }
    std::mt19937 rng(static_cast<std::mt19937::result_type>(seed));
    for (const auto& name : files) {
        auto it = sizes.find(name);
        uint64_t n = it != sizes.end() ? it->second : size;
        uint32_t crc = 0;
        if (!write_image(dir / name, n, rng, &crc)) {
            con_err("make_sample_package: cannot write %s\n", (dir / name).c_str());
            return 1;
        }
        char hex[9];
        std::snprintf(hex, sizeof hex, "%08x", crc);
        if (sign && !write_text(dir / sign_name(name), hex)) {
            con_err("make_sample_package: cannot write %s\n", (dir / sign_name(name)).c_str());
            return 1;
        }
        con_out("%s %llu %s\n", name.c_str(), static_cast<unsigned long long>(n), hex);
    }
    if (config && !write_text(dir / "config.bin", model + "\n")) {
        con_err("make_sample_package: cannot write %s\n", (dir / "config.bin").c_str());
        return 1;
    }
    return 0;
}
