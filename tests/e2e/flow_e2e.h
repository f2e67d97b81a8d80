// Shared pieces of the end-to-end tests of the run: package directories, the output the
// installer is expected to write (built from the texts as users see them, not from the
// program's own constants), and the commands a device is expected to receive.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "e2e/harness.h"

namespace flow_e2e {

// A package directory. Every image holds bytes of its own, so what lands in a partition shows
// which file it came from.
class Package {
  public:
    Package& config(const std::string& first_line) {
        dir_.write("config.bin", first_line);
        return *this;
    }
    Package& file(const std::string& name, size_t size = 3000) {
        std::string bytes;
        for (size_t i = 0; i < size; ++i)
            bytes += static_cast<char>((i * 131 + name.size() * 17 + name[0]) & 0xFF);
        dir_.write(name, bytes);
        return *this;
    }
    Package& files(std::initializer_list<const char*> names) {
        for (const char* n : names) file(n);
        return *this;
    }
    const std::filesystem::path& path() const { return dir_.path(); }
    size_t size_of(const std::string& name) const {
        return std::filesystem::file_size(dir_.path() / name);
    }

  private:
    support::TempDir dir_;
};

// The progress bar as drawn at `per` per cent.
inline std::string bar(int per) {
    int j = per / 3;
    std::string s = "\r[";
    if (j > 0) s += std::string(static_cast<size_t>(j), '#');
    if (j < 33) s += std::string(static_cast<size_t>(j > 0 ? 33 - j : 33), ' ');
    char tail[16];
    std::snprintf(tail, sizeof tail, "] %02d%% ", per);
    return s + tail;
}

// What the device sees for one whole-file write.
inline std::vector<std::string> flash_commands(const std::string& partition, size_t size) {
    char download[32];
    std::snprintf(download, sizeof download, "download:%08zx", size);
    return {download, "flash:" + partition};
}

inline std::vector<std::string> concat(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline std::string argument_lines(int doreboot, int dofast) {
    return "###doreboot:" + std::to_string(doreboot) + "\n###dofast:" + std::to_string(dofast) +
           "\n";
}

inline const std::string kBanner = "\n\n###########################################";

// The closing sequence of a run whose dofast is nonzero: a 1-second wait, then the last line.
inline const std::string kAllDone = "\n###All Done.";
inline const std::string kDownloadingError = "\nDownloading Error!\n";

// Lines joined with a line end after each.
inline std::string lines(std::initializer_list<const char*> texts) {
    std::string out;
    for (const char* t : texts) out += e2e::gbk(std::string(t) + "\n");
    return out;
}

// The installer's run against `devsim` in `package`.
inline e2e::RunResult run(const support::Devsim& devsim, const Package& package,
                          std::vector<std::string> args, std::string input = {}) {
    e2e::RunOptions o;
    o.args = std::move(args);
    o.input = std::move(input);
    o.cwd = package.path();
    o.devsim = &devsim;
    o.timeout = std::chrono::seconds(30);
    return e2e::run_installer(o);
}

// What the family road says before its menu of each signed image among `files` (named in the
// order of the package check): packages made with files() carry no signature files.
inline std::string unsigned_lines(const std::vector<const char*>& files) {
    std::string out;
    for (const std::string stem : {"kernel", "vemkit"}) {
        if (std::find(files.begin(), files.end(), stem + ".bin") == files.end()) continue;
        out += "\nwarning: " + stem + ".bin will not be installed: " + stem +
               ".sign is missing or empty\n";
    }
    return out;
}

// The reboot exit after `out` and `commands`: with DOREBOOT nonzero the reboot, its bar and
// line; then "###All Done.", exit status 0.
inline void expect_reboot_exit(const e2e::RunResult& r, const support::Devsim& dev, int doreboot,
                               std::string out, std::vector<std::string> commands) {
    if (doreboot != 0) {
        out += bar(100) + e2e::gbk("\n###完成！Rebooting!\n");
        commands.push_back("reboot");
    }
    out += kAllDone;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, doreboot != 0 ? "\n" : "");
    EXPECT_EQ(dev.commands(), commands);
}

}  // namespace flow_e2e
