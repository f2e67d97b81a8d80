// Time and peak memory of a dry run of the chain road: tessaro-installer --dry-run 1 1 on a VRX3
// device whose loader is "8.0" (the whole chain, five restarts), with a native package whose
// system.bin is 1 GiB of varying bytes. The twin takes every byte of it through the same code
// as a real run, but never sleeps and keeps only sizes and CRCs, so the targets are under 5 s
// and under 64 MiB. The simulated device standing in for the real one must have been asked only
// getvars, and the plan must name the 1 GiB file. Prints two rows for scripts/bench.sh.
//   dry_run_speed [WORKDIR]
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "support/bench_support.h"

namespace {

using bench::fs::path;

constexpr uint64_t kFileSize = 1ULL << 30;
constexpr double kLimitSeconds = 5;
constexpr double kLimitMiB = 64;

std::string slurp(const path& p) {
    std::ifstream in(p);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

int main(int argc, char** argv) {
    bench::WorkDir work(argc > 1 ? argv[1] : "bench-tmp");
    const path pkg = work.path() / "pkg";
    const std::string tool = std::string(TESSARO_TOOLS_DIR) + "/make_sample_package";
    pid_t maker =
        bench::spawn({tool, pkg.string(), "--model", "vrx3", "--native", "--size", "4096",
                      "--size-of", "system.bin=" + std::to_string(kFileSize), "--seed", "9"},
                     bench::fs::current_path(), {}, "/dev/null");
    if (bench::wait_child(maker, bench::Clock::now()).status != 0) {
        std::fprintf(stderr, "cannot make the package\n");
        return 1;
    }
    const path transcript = work.path() / "transcript.jsonl";
    const path out = work.path() / "dry.out";
    bench::ChildEnd end;
    {
        bench::Devsim dev(
            work.path() / "sockets",
            {"--transcript", transcript.string(), "--device", "d", "--serial", "067A0BENCH02",
             "--var", "product=VRX3", "--var", "verflag=8.0", "--reboot-delay", "0"});
        if (!dev.ok()) return 1;
        auto t0 = bench::Clock::now();
        pid_t pid = bench::spawn(
            {TESSARO_INSTALLER_BIN, "--dry-run", "1", "1"}, pkg,
            {"TESSARO_DEVSIM_DIR=" + (work.path() / "sockets").string(), "LC_ALL=C"}, out);
        end = bench::wait_child(pid, t0);
    }
    const std::string text = slurp(out);
    const std::string lines = slurp(transcript);
    const bool planned =
        end.status == 0 &&
        text.find("###Nothing was written to 067A0BENCH02") != std::string::npos &&
        text.find("system.bin -> xzsystem, " + std::to_string(kFileSize)) != std::string::npos &&
        text.find("loader_belto -> xzprod") != std::string::npos;
    // every command the device received was a getvar
    size_t commands = 0;
    size_t getvars = 0;
    for (size_t at = lines.find("\"ev\":\"command\""); at != std::string::npos;
         at = lines.find("\"ev\":\"command\"", at + 1)) {
        ++commands;
        if (lines.compare(at, 30, "\"ev\":\"command\",\"text\":\"getvar:") == 0) ++getvars;
    }
    const double peak_mib = static_cast<double>(end.peak_kib) / 1024.0;
    std::fprintf(stderr,
                 "dry run of the chain road from 8.0, 1 GiB system.bin: %.2f s, peak RSS %.1f MiB, "
                 "plan complete: %s, device asked %zu commands, %zu of them getvars\n",
                 end.seconds, peak_mib, planned ? "yes" : "no", commands, getvars);
    if (!planned || commands != getvars) {
        std::fprintf(stderr, "%s\n", text.c_str());
        return 1;
    }
    bench::row("dry run, chain from 8.0, 1 GiB system.bin: time", end.seconds, kLimitSeconds,
               end.seconds / kLimitSeconds, "< 5 s", "s");
    bench::row("dry run, chain from 8.0, 1 GiB system.bin: peak RSS", peak_mib, kLimitMiB,
               peak_mib / kLimitMiB, "< 64 MiB", "MiB");
    return end.seconds < kLimitSeconds && peak_mib < kLimitMiB ? 0 : 1;
}
