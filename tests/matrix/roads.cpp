#include "matrix/roads.h"

#include <stdexcept>

namespace matrix {

namespace {

const std::vector<std::string> kFamilyFiles = {"system.bin",  "var.bin",   "kernel.bin", "data.bin",
                                               "esystem.bin", "edata.bin", "vemkit.bin"};
const std::vector<std::string> kRq3Files = {"data.bin",   "recovery.bin", "kernel.bin",
                                            "system.bin", "userdata.bin", "ekernel.bin",
                                            "vemkit.bin", "esystem.bin"};

constexpr char kVrx3Serial[] = "067A0001";

std::vector<std::string> vrx3(const std::string& verflag, const std::string& systype,
                              std::vector<std::string> extra = {}) {
    std::vector<std::string> d = {"--serial", kVrx3Serial,          "--var", "product=VRX3",
                                  "--var",    "verflag=" + verflag, "--var", "bootmode=main",
                                  "--var",    "systype=" + systype};
    d.insert(d.end(), extra.begin(), extra.end());
    return d;
}

// Typed choices of the menu of both sets: 4 converts to the native system, 3 to the second
// system with a wipe, 1 upgrades what the device carries, 5 installs both with a wipe.
Road family(const std::string& systype, const std::string& choice, const std::string& what) {
    return {systype + " -> " + what + " (" + choice + ")",
            "vrx3",
            kFamilyFiles,
            vrx3("Z07", systype),
            {"1", "-1", kVrx3Serial},
            choice + "\n"};
}

// An RQ3 device at loader `verflag`, given the typed choice of its menu.
Road rq3(const std::string& what, const std::string& verflag, const std::string& choice) {
    return {what,
            "pagora8",
            kRq3Files,
            {"--serial", "P00118E2E0001", "--var", "product=RQ3", "--var", "verflag=" + verflag},
            {"1", "-1", "P00118E2E0001"},
            choice + "\n"};
}

std::vector<Road> make_roads() {
    std::vector<Road> r;
    r.push_back(rq3("rq3 native list", "Z05", "3"));
    r.push_back(rq3("rq3 loader, wipe and second lists", "Z01", "2"));
    r.push_back({"loader chain from 8.0",
                 "vrx3",
                 kFamilyFiles,
                 vrx3("8.0", "sing"),
                 {"1", "2", kVrx3Serial},
                 ""});
    for (const char* systype : {"sing", "tess", "dual"}) {
        const std::string s = systype;
        r.push_back(family(s, "4", "native"));
        r.push_back(family(s, s == "tess" ? "1" : "3", "second"));
        r.push_back(family(s, s == "dual" ? "1" : "5", "both"));
    }
    // a 4 GB VRX3 asked for the 32 GB variant: respcb, a reboot, and the 13G board id's tables
    Road variant{"variant switch 4GB -> 32GB",
                 "vrx3",
                 kFamilyFiles,
                 vrx3("Z07", "sing",
                      {"--respcb-serial", "13G=13G0001", "--address", "xembr=E2300000", "--address",
                       "xevemkit=E2400000"}),
                 {"1", "2", kVrx3Serial},
                 ""};
    variant.files.push_back("ver32g.bin");
    r.push_back(variant);
    // both partition tables of the tiva layout, after that family's own final loader
    r.push_back({"partition tables, tiva layout",
                 "tamso",
                 kFamilyFiles,
                 {"--serial", "07F0001", "--var", "product=TAMSO", "--var", "verflag=Y01", "--var",
                  "bootmode=main", "--var", "systype=tess", "--address", "xembr=77B00000",
                  "--address", "xevemkit=77C00000"},
                 {"1", "2", "07F0001"},
                 ""});
    return r;
}

}  // namespace

const std::vector<Road>& roads() {
    static const std::vector<Road> all = make_roads();
    return all;
}

const Road& fast_road() {
    for (const auto& r : roads()) {
        if (r.name.starts_with("variant switch")) return r;
    }
    throw std::logic_error("no variant-switch road");
}

}  // namespace matrix
