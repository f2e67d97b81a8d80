// A whole unattended RQ3 install (tessaro-installer 1 2 SERIAL) of a package whose system.bin is
// 1 GiB, against tessaro-devsim:
// - unlimited link: the install's rate against a framing client that moves the same files over
//   the same link with nothing around them;
// - link at 40 MB/s, package files in the page cache and evicted from it: the install's time
//   against the link time of its bytes.
// The run's fixed costs (start-up and closing waits, the reboot) are measured with the same
// package of 4 KiB images and taken off, so what is compared is the time the bytes cost. Also
// the installer's peak resident memory in the unlimited install. Prints rows for
// scripts/bench.sh.
//   install_speed WORKDIR
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/bench_support.h"
#include "support/framing_client.h"

namespace {

using bench::fs::path;

constexpr uint64_t kSystem = uint64_t{1} << 30;
constexpr double kRate = 40e6;
constexpr char kSerial[] = "P00118BENCH01";

struct Install {
    bool ok = false;
    double seconds = 0;
    uint64_t peak_kib = 0;
};

// One install of the package in `pkg` on a fresh device; the link at `rate` (empty: unlimited).
Install install(const path& work, const path& pkg, const std::string& rate) {
    const path sockets = work / "sockets";
    std::vector<std::string> args = bench::rq3_device("rq3", kSerial);
    if (!rate.empty()) args.insert(args.begin(), {"--rate", rate});
    bench::Devsim dev(sockets, args);
    if (!dev.ok()) return {};
    const path out = work / "install.out";
    auto t0 = bench::Clock::now();
    pid_t pid = bench::spawn({TESSARO_INSTALLER_BIN, "1", "2", kSerial}, pkg,
                             {"TESSARO_DEVSIM_DIR=" + sockets.string(), "LC_ALL=C"}, out);
    bench::ChildEnd end = bench::wait_child(pid, t0);
    std::ifstream in(out);
    std::stringstream text;
    text << in.rdbuf();
    // an RQ3 install that completes ends with the reboot line, never with the error line
    const bool ok = end.status == 0 && text.str().find("Downloading Error!") == std::string::npos &&
                    text.str().find("###Downloading:system") != std::string::npos;
    if (!ok) std::fprintf(stderr, "install in %s failed:\n%s\n", pkg.c_str(), text.str().c_str());
    return {ok, end.seconds, end.peak_kib};
}

// The framing client over the same files on a fresh unlimited device.
double reference(const path& work, const path& pkg, const std::vector<std::string>& files) {
    const path sockets = work / "sockets";
    bench::Devsim dev(sockets, bench::rq3_device("rq3", kSerial));
    auto t0 = bench::Clock::now();
    bench::FramingClient client;
    bool ok = client.connect(sockets / "rq3");
    for (const auto& f : files) ok = ok && client.download_and_flash(pkg / f, f);
    double s = bench::seconds_since(t0);
    if (!ok) std::fprintf(stderr, "the framing client failed\n");
    return ok ? s : 0;
}

}  // namespace

int main(int argc, char** argv) {
    bench::WorkDir work(argc > 1 ? argv[1] : "bench-tmp");
    const path tiny = work.path() / "tiny";
    const path big = work.path() / "big";
    const auto files = bench::make_rq3_package(tiny, 4096, 1);
    if (files.empty() || bench::make_rq3_package(big, kSystem, 2).empty()) {
        std::fprintf(stderr, "cannot make the packages\n");
        return 1;
    }
    const double bytes = static_cast<double>(bench::image_bytes(big));
    const double extra = bytes - static_cast<double>(bench::image_bytes(tiny));
    std::vector<path> big_files;
    for (const auto& f : files) big_files.push_back(big / f);

    // unlimited
    Install fixed = install(work.path(), tiny, "");
    Install full = install(work.path(), big, "");
    double ref = reference(work.path(), big, files);
    if (!fixed.ok || !full.ok || ref <= 0) return 1;
    const double ours_rate = extra / (full.seconds - fixed.seconds) / 1e6;
    const double ref_rate = bytes / ref / 1e6;
    bench::row("1 GiB RQ3 install, unlimited link, vs framing client", ours_rate, ref_rate,
               ours_rate / ref_rate, ">= 0.9", "MB/s");
    bench::row("peak RSS, 1 GiB RQ3 install", static_cast<double>(full.peak_kib) / 1024.0, 48,
               static_cast<double>(full.peak_kib) / 1024.0 / 48, "< 48 MiB", "MiB");

    // at 40 MB/s: the time the bytes cost against the link time of those bytes
    const std::string rate = std::to_string(static_cast<uint64_t>(kRate));
    Install fixed40 = install(work.path(), tiny, rate);
    Install warm = install(work.path(), big, rate);
    bench::evict(big_files);
    Install cold = install(work.path(), big, rate);
    if (!fixed40.ok || !warm.ok || !cold.ok) return 1;
    const double link = extra / kRate;
    for (const auto& [name, run] : {std::pair{"warm", warm}, std::pair{"cold", cold}}) {
        const double spent = run.seconds - fixed40.seconds;
        bench::row(std::string("1 GiB RQ3 install at 40 MB/s, ") + name + ": time vs link time",
                   spent, link, spent / link, "<= 1.02", "s");
    }
    return 0;
}
