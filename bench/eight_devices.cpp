// Eight simulated devices with distinct serial numbers (one tessaro-devsim each, sharing the
// socket directory) and eight installers started together, each with its own package and its
// device's serial as the third argument. Every device must end with its own package's images
// and nothing else; the figures are the aggregate rate and the slowest install's time against
// one install alone (both include the run's fixed waits). Prints rows for scripts/bench.sh.
//   eight_devices WORKDIR
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/bench_support.h"

namespace {

using bench::fs::path;

constexpr int kDevices = 8;
constexpr uint64_t kSystem = uint64_t{64} << 20;

std::string serial_of(int i) {
    return "P00118BENCH1" + std::to_string(i);
}

// the CRCs of the .bin images of a package, or of the partitions a device stores
std::multiset<uint32_t> crcs_in(const path& dir, bool package) {
    std::multiset<uint32_t> out;
    for (const auto& e : bench::fs::directory_iterator(dir)) {
        const bool image = e.path().extension() == ".bin" && e.path().filename() != "config.bin";
        // the device keeps its variables in .vars beside the partitions
        const bool partition = !e.path().filename().string().starts_with(".");
        if (package ? image : partition) out.insert(bench::file_crc(e.path()));
    }
    return out;
}

struct Fleet {
    std::vector<std::unique_ptr<bench::Devsim>> devices;
};

// Installs package i on device i, `count` of them at once; the seconds each took, empty on a
// failure.
std::vector<double> install_together(const path& work, int count) {
    const path sockets = work / "sockets";
    Fleet fleet;
    for (int i = 0; i < count; ++i) {
        std::vector<std::string> args = {"--storage",
                                         (work / "storage" / std::to_string(count)).string()};
        auto dev = bench::rq3_device("dev" + std::to_string(i), serial_of(i));
        args.insert(args.end(), dev.begin(), dev.end());
        fleet.devices.push_back(std::make_unique<bench::Devsim>(sockets, args));
        if (!fleet.devices.back()->ok()) return {};
    }
    std::vector<pid_t> pids;
    auto t0 = bench::Clock::now();
    for (int i = 0; i < count; ++i) {
        const path pkg = work / ("pkg" + std::to_string(i));
        pids.push_back(
            bench::spawn({TESSARO_INSTALLER_BIN, "1", "2", serial_of(i)}, pkg,
                         {"TESSARO_DEVSIM_DIR=" + sockets.string(), "LC_ALL=C"},
                         work / ("out" + std::to_string(count) + "-" + std::to_string(i))));
    }
    std::vector<double> seconds;
    for (pid_t pid : pids) {
        bench::ChildEnd end = bench::wait_child(pid, t0);
        if (end.status != 0) return {};
        seconds.push_back(end.seconds);
    }
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    bench::WorkDir work(argc > 1 ? argv[1] : "bench-tmp");
    uint64_t bytes = 0;
    for (int i = 0; i < kDevices; ++i) {
        const path pkg = work.path() / ("pkg" + std::to_string(i));
        if (bench::make_rq3_package(pkg, kSystem, 100 + i).empty()) return 1;
        bytes += bench::image_bytes(pkg);
    }
    std::vector<double> alone = install_together(work.path(), 1);
    std::vector<double> eight = install_together(work.path(), kDevices);
    if (alone.empty() || eight.empty()) {
        std::fprintf(stderr, "an install failed\n");
        return 1;
    }
    // every device holds its own package's images, and only those
    for (int i = 0; i < kDevices; ++i) {
        const auto held =
            crcs_in(work.path() / "storage" / "8" / ("dev" + std::to_string(i)), false);
        const auto sent = crcs_in(work.path() / ("pkg" + std::to_string(i)), true);
        if (held != sent) {
            std::fprintf(stderr, "device %d does not hold its own package\n", i);
            return 1;
        }
    }
    double slowest = 0;
    for (double s : eight) slowest = std::max(slowest, s);
    const double one_rate = static_cast<double>(bytes) / kDevices / alone[0] / 1e6;
    bench::row("8 devices + 8 installers (64 MiB each): aggregate rate vs one alone",
               static_cast<double>(bytes) / slowest / 1e6, one_rate,
               static_cast<double>(bytes) / slowest / 1e6 / one_rate, "(info)", "MB/s");
    bench::row("8 devices + 8 installers: slowest install vs one alone", slowest, alone[0],
               slowest / alone[0], "(info)", "s");
    return 0;
}
