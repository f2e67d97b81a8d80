// The dry run of every road against a simulated device standing in for the real one: that
// device is only asked (getvars), the run's output is the real run's with the plan after it,
// and the plan's writes and loader stages are what the real run then does on the same device.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "e2e/flow_e2e.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace {

using namespace flow_e2e;

struct Road {
    const char* name;
    std::vector<std::string> device;  // tessaro-devsim's options after --device d
    const char* config;
    std::vector<const char*> files;
    std::vector<std::string> args;  // DOREBOOT DOFAST
    std::string input;
};

const std::vector<const char*> kNative = {"system.bin", "var.bin", "kernel.bin", "data.bin"};
const std::vector<const char*> kBoth = {"system.bin",  "var.bin",   "kernel.bin", "data.bin",
                                        "esystem.bin", "edata.bin", "vemkit.bin"};

std::vector<std::string> vrx3(const char* verflag, std::vector<std::string> more = {}) {
    std::vector<std::string> args = {"--serial",     "067A0001", "--var",
                                     "product=VRX3", "--var",    std::string("verflag=") + verflag};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

std::vector<Road> roads() {
    std::vector<Road> r = {
        {"RQ3",
         {"--serial", "P00118E2E0001", "--var", "product=RQ3", "--var", "verflag=Z04"},
         "pagora8\n",
         {"data.bin", "recovery.bin", "kernel.bin", "system.bin"},
         {"1", "1"},
         {}},
        {"chain from 8.0", vrx3("8.0"), "vrx3\n", kBoth, {"1", "2"}, {}},
        {"variant switch",
         vrx3("Z07", {"--respcb-serial", "13G=13GA0001"}),
         "vrx3\n",
         {"system.bin", "var.bin", "kernel.bin", "data.bin", "ver32g.bin"},
         {"0", "1"},
         {}},
        {"refused package", vrx3("Z07"), "tamso\n", kNative, {"1", "1"}, {}},
        {"empty plan: Exit at the menu", vrx3("Z07"), "vrx3\n", kNative, {"1", "-1"}, "0\n"},
    };
    for (const char* v : {"Z03", "Z04", "Z05", "Z06", "Z07"})
        r.push_back({v, vrx3(v), "vrx3\n", kNative, {"1", "1"}, {}});
    return r;
}

// The writes a transcript shows, as the plan counts them: the pieces of one file are one write,
// and a loader image is a stage, not a write.
struct Writes {
    std::vector<std::pair<std::string, uint64_t>> files;  // partition and bytes
    std::vector<std::string> loaders;
};

Writes real_writes(const std::vector<std::string>& transcript) {
    Writes w;
    uint64_t size = 0;
    uint64_t end = 0;  // where the last write ended
    const std::regex download(R"re("text":"download:([0-9a-f]{8})")re");
    const std::regex flash(R"re("text":"flash:([A-Za-z0-9_.-]+)(:[0-9a-f]+)?")re");
    const std::regex loader(R"re("ev":"loader","image":"([a-z0-9_]+)")re");
    std::smatch m;
    bool last_loader = false;
    for (const std::string& line : transcript) {
        if (std::regex_search(line, m, download)) {
            size = std::stoull(m[1], nullptr, 16);
        } else if (std::regex_search(line, m, flash)) {
            const uint64_t offset =
                m[2].matched ? std::stoull(m[2].str().substr(1), nullptr, 16) : 0;
            if (offset != 0 && offset == end && !w.files.empty() && w.files.back().first == m[1]) {
                w.files.back().second += size;
            } else {
                w.files.emplace_back(m[1], size);
            }
            end = offset + size;
            last_loader = false;
        } else if (std::regex_search(line, m, loader)) {
            // the flash just taken was a loader: a stage
            if (!last_loader && !w.files.empty()) w.files.pop_back();
            w.loaders.push_back(m[1]);
            last_loader = true;
        }
    }
    return w;
}

Writes planned_writes(const std::string& json) {
    Writes w;
    const std::string stages = json.substr(0, json.find("\"restarts\""));
    const std::regex image(R"re("image":"([a-z0-9_]+)")re");
    for (auto it = std::sregex_iterator(stages.begin(), stages.end(), image);
         it != std::sregex_iterator(); ++it)
        w.loaders.push_back((*it)[1]);
    const std::string writes = json.substr(json.find("\"writes\""));
    const std::regex file(R"re("partition":"([A-Za-z0-9_.-]+)","bytes":([0-9]+))re");
    for (auto it = std::sregex_iterator(writes.begin(), writes.end(), file);
         it != std::sregex_iterator(); ++it)
        w.files.emplace_back((*it)[1], std::stoull((*it)[2]));
    return w;
}

TEST(DryRun, EveryRoadAsksTheDeviceOnlyAndPlansWhatTheRealRunDoes) {
    for (const Road& road : roads()) {
        SCOPED_TRACE(road.name);
        Package pkg;
        pkg.config(road.config);
        for (const char* f : road.files) pkg.file(f);
        std::vector<std::string> device = {"--device", "d"};
        device.insert(device.end(), road.device.begin(), road.device.end());

        support::Devsim real_one(device);
        support::TempDir out;
        e2e::RunOptions o;
        o.args = {"--dry-run"};
        o.args.insert(o.args.end(), road.args.begin(), road.args.end());
        o.input = road.input;
        o.cwd = pkg.path();
        o.devsim = &real_one;
        o.env["TESSARO_PLAN"] = (out / "plan.json").string();
        const e2e::RunResult dry = e2e::run_installer(o);
        for (const std::string& c : real_one.commands()) EXPECT_TRUE(c.starts_with("getvar:")) << c;

        support::Devsim same(device);
        const e2e::RunResult real = run(same, pkg, road.args, road.input);
        EXPECT_EQ(dry.status, real.status);
        // the same lines and menus, then the plan
        ASSERT_GE(dry.out.size(), real.out.size());
        EXPECT_EQ(dry.out.substr(0, real.out.size()), real.out);
        const std::string plan = dry.out.substr(real.out.size());
        EXPECT_TRUE(plan.starts_with(e2e::gbk("\n###安装计划(Plan)："))) << plan;
        const std::string serial = road.device[1];
        EXPECT_TRUE(plan.ends_with("\n###Nothing was written to " + serial + "\n")) << plan;

        std::ifstream in(out / "plan.json");
        std::stringstream json;
        json << in.rdbuf();
        const Writes planned = planned_writes(json.str());
        const Writes done = real_writes(same.transcript());
        EXPECT_EQ(planned.files, done.files) << json.str();
        EXPECT_EQ(planned.loaders, done.loaders) << json.str();
        EXPECT_NE(json.str().find("\"status\":" + std::to_string(real.status)), std::string::npos);
    }
}

}  // namespace
