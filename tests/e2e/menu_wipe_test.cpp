// The page's wipe warning against what the installer does: every menu on a device of each current
// system, every choice the page offers, run on a simulated device; the page's reader marks the
// choice as wiping exactly when the run's trace ends with "wipe":true. The device's loader (8.5)
// is one the loader chain cannot start from, so each run ends before anything is written.
#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "e2e/flow_e2e.h"
#include "support/process.h"
#include "web/reader.h"

namespace {

using flow_e2e::Package;

// The menu the page is shown, and whether the trace's end says the plan wipes.
const web::Event* menu_of(const std::vector<web::Event>& events) {
    for (const auto& e : events) {
        if (e.kind == web::EventKind::Menu) return &e;
    }
    return nullptr;
}

std::string trace_end(const std::filesystem::path& trace) {
    std::ifstream in(trace);
    std::string last;
    for (std::string line; std::getline(in, line);) last = line;
    return last;
}

// One package on one device: each choice of its menu run once. Gives one failure text per
// choice whose warning differs from the trace, and the number of choices walked.
std::pair<std::vector<std::string>, int> walk(const std::vector<const char*>& files,
                                              const std::string& systype) {
    Package pkg;
    pkg.config("vrx2\n");
    for (const char* f : files) pkg.file(f);
    support::Devsim dev({"--device", "v", "--serial", "02A0001", "--var", "product=VRX2", "--var",
                         "systype=" + systype, "--var", "verflag=8.5"});
    std::vector<std::string> wrong;
    std::string keys = "0";  // the first run, left at Exit, learns the menu's other choices
    int walked = 0;
    for (size_t i = 0; i < keys.size(); ++i) {
        support::TempDir dir;
        e2e::RunOptions o;
        o.args = {"1", "-1"};
        o.input = std::string(1, keys[i]) + "\n";
        o.cwd = pkg.path();
        o.devsim = &dev;
        o.env["TESSARO_TRACE"] = (dir / "trace.jsonl").string();
        const auto result = e2e::run_installer(o);
        web::Reader reader;
        auto events = reader.feed(result.out);
        const web::Event* menu = menu_of(events);
        if (menu == nullptr) return {{systype + ": no menu"}, walked};
        if (i == 0) {
            for (const auto& c : menu->choices) {
                if (c.key != '0') keys += c.key;
            }
        }
        for (const auto& c : menu->choices) {
            if (c.key != keys[i]) continue;
            ++walked;
            const std::string end = trace_end(dir / "trace.jsonl");
            const bool wiped = end.find("\"wipe\":true") != std::string::npos;
            if (end.find("\"ev\":\"end\"") == std::string::npos || wiped != c.wipes) {
                wrong.push_back(systype + " " + menu->value + " " + c.key + " " + c.text +
                                ": page " + (c.wipes ? "warns" : "does not warn") + ", trace " +
                                end);
            }
        }
    }
    return {wrong, walked};
}

}  // namespace

TEST(MenuWipe, ThePagesWarningIsTheTracesWipe) {
    const std::vector<std::vector<const char*>> packages = {
        {"system.bin", "kernel.bin"},
        {"esystem.bin", "vemkit.bin"},
        {"system.bin", "kernel.bin", "esystem.bin", "vemkit.bin"}};
    std::vector<std::future<std::pair<std::vector<std::string>, int>>> runs;
    for (const auto& files : packages) {
        for (const char* systype : {"sing", "tess", "dualboot"}) {
            runs.push_back(std::async(std::launch::async, walk, files, std::string(systype)));
        }
    }
    int walked = 0;
    for (auto& r : runs) {
        auto [wrong, n] = r.get();
        walked += n;
        for (const auto& w : wrong) ADD_FAILURE() << w;
    }
    // each menu's choices with Exit, and the hidden both-systems choice: (2 + 4 + 6) x 3
    EXPECT_EQ(walked, 36);
}
