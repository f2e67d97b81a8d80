// A whole unattended RQ3 install (tessaro-installer 1 2 SERIAL) of a package whose system.bin is
// 1 GiB, against tessaro-devsim:
// - unlimited link: the install's rate against a framing client that moves the same files over
//   the same link with nothing around them;
// - link at 40 MB/s, package files in the page cache and evicted from it: the install's time
//   against the ideal, the link time of its bytes (the framing client's time over the same
//   link is shown beside it: what a client with no installer logic at all takes).
// The run's own sleeps (one second at the start, one at the end when unattended) are read from
// its trace and taken off its time; the device's reboot delay is 0 and the RQ3 road does not
// wait for the device after its reboot, so no reboot delay enters the run. What is compared is
// the time the bytes cost. Also the installer's peak resident memory in the unlimited install.
// Prints rows for scripts/bench.sh.
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
    double seconds = 0;  // the run's time less its sleeps
    uint64_t peak_kib = 0;
};

std::string read_text(const path& p) {
    std::ifstream in(p);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The seconds of the trace's "sleep" lines.
double slept(const std::string& trace) {
    const std::string key = R"("ev":"sleep","seconds":)";
    double total = 0;
    for (size_t at = trace.find(key); at != std::string::npos; at = trace.find(key, at + 1)) {
        total += std::stod(trace.substr(at + key.size()));
    }
    return total;
}

std::vector<std::string> device_args(const std::string& rate) {
    std::vector<std::string> args = bench::rq3_device("rq3", kSerial);
    if (!rate.empty()) args.insert(args.begin(), {"--rate", rate});
    return args;
}

// One install of the package in `pkg` on a fresh device; the link at `rate` (empty: unlimited).
Install install(const path& work, const path& pkg, const std::string& rate) {
    const path sockets = work / "sockets";
    bench::Devsim dev(sockets, device_args(rate));
    if (!dev.ok()) return {};
    const path out = work / "install.out";
    const path trace = work / "install.trace";
    bench::fs::remove(trace);
    auto t0 = bench::Clock::now();
    pid_t pid = bench::spawn(
        {TESSARO_INSTALLER_BIN, "1", "2", kSerial}, pkg,
        {"TESSARO_DEVSIM_DIR=" + sockets.string(), "LC_ALL=C", "TESSARO_TRACE=" + trace.string()},
        out);
    bench::ChildEnd end = bench::wait_child(pid, t0);
    const std::string text = read_text(out);
    const double sleeps = slept(read_text(trace));
    // an RQ3 install that completes ends with the reboot line, never with the error line; it
    // sleeps 2 s
    const bool ok = end.status == 0 && text.find("Downloading Error!") == std::string::npos &&
                    text.find("###Downloading:system") != std::string::npos && sleeps >= 2;
    if (!ok) std::fprintf(stderr, "install in %s failed:\n%s\n", pkg.c_str(), text.c_str());
    return {ok, end.seconds - sleeps, end.peak_kib};
}

// The framing client over the same files on a fresh device; the link at `rate`.
double reference(const path& work, const path& pkg, const std::vector<std::string>& files,
                 const std::string& rate) {
    const path sockets = work / "sockets";
    bench::Devsim dev(sockets, device_args(rate));
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
    const path big = work.path() / "big";
    const auto files = bench::make_rq3_package(big, kSystem, 2);
    if (files.empty()) {
        std::fprintf(stderr, "cannot make the package\n");
        return 1;
    }
    const double bytes = static_cast<double>(bench::image_bytes(big));
    std::vector<path> big_files;
    for (const auto& f : files) big_files.push_back(big / f);

    // unlimited
    Install full = install(work.path(), big, "");
    double ref = reference(work.path(), big, files, "");
    if (!full.ok || ref <= 0) return 1;
    const double ours_rate = bytes / full.seconds / 1e6;
    const double ref_rate = bytes / ref / 1e6;
    bench::row("1 GiB RQ3 install, unlimited link, vs framing client", ours_rate, ref_rate,
               ours_rate / ref_rate, ">= 0.9", "MB/s");
    bench::row("peak RSS, 1 GiB RQ3 install", static_cast<double>(full.peak_kib) / 1024.0, 48,
               static_cast<double>(full.peak_kib) / 1024.0 / 48, "< 48 MiB", "MiB");

    // at 40 MB/s: the time the bytes cost against the link time of those bytes
    const std::string rate = std::to_string(static_cast<uint64_t>(kRate));
    const double link = bytes / kRate;
    Install warm = install(work.path(), big, rate);
    bench::evict(big_files);
    Install cold = install(work.path(), big, rate);
    const double client = reference(work.path(), big, files, rate);
    if (!warm.ok || !cold.ok || client <= 0) return 1;
    for (const auto& [name, run] : {std::pair{"warm", warm}, std::pair{"cold", cold}}) {
        bench::row(std::string("1 GiB RQ3 install at 40 MB/s, ") + name +
                       ": time less sleeps vs link time",
                   run.seconds, link, run.seconds / link, "<= 1.02", "s");
    }
    bench::row("framing client at 40 MB/s, same files: time vs link time", client, link,
               client / link, "(info)", "s");
    return 0;
}
