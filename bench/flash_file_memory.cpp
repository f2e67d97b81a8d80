// Peak memory and throughput of the installer on the piece road: an unattended native install
// (tessaro-installer 1 1) on a VRX3 device, whose system.bin is 1 GiB of varying bytes, or with
// --sparse a sparse file of 5 GiB. flash_file sends the file one 32 MiB piece at a time, so the
// installer's resident memory must stay near one piece however large the file is (the target
// is 48 MiB). The device keeps its partitions as files; the bench checks that it holds the
// file's bytes. Prints a row for scripts/bench.sh.
//   flash_file_memory [WORKDIR] [--sparse]
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/bench_support.h"

namespace {

using bench::fs::path;

constexpr uint64_t kFileSize = 1ULL << 30;
constexpr uint64_t kSparseSize = 5ULL << 30;
constexpr double kLimitMiB = 48;
constexpr char kSerial[] = "067A0BENCH01";

// A VRX3 native package of 4 KiB images and system.bin of `size` bytes (random, or a hole).
bool make_package(const path& dir, uint64_t size, bool sparse) {
    const std::string tool = std::string(TESSARO_TOOLS_DIR) + "/make_sample_package";
    pid_t pid = bench::spawn(
        {tool, dir.string(), "--model", "vrx3", "--native", "--size", "4096", "--size-of",
         "system.bin=" + std::to_string(sparse ? 4096 : size), "--seed", "7"},
        bench::fs::current_path(), {}, "/dev/null");
    if (bench::wait_child(pid, bench::Clock::now()).status != 0) return false;
    if (sparse) {
        std::ofstream(dir / "system.bin", std::ios::trunc).close();
        bench::fs::resize_file(dir / "system.bin", size);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const bool sparse = argc > 2 && std::strcmp(argv[2], "--sparse") == 0;
    const uint64_t size = sparse ? kSparseSize : kFileSize;
    bench::WorkDir work(argc > 1 ? argv[1] : "bench-tmp");
    const path pkg = work.path() / "pkg";
    if (!make_package(pkg, size, sparse)) {
        std::fprintf(stderr, "cannot make the package\n");
        return 1;
    }
    const uint32_t crc = bench::file_crc(pkg / "system.bin");

    const path storage = work.path() / "storage";
    uint64_t peak_kib = 0;
    double seconds = 0;
    bool ok = false;
    {
        bench::Devsim dev(work.path() / "sockets",
                          {"--storage", storage.string(), "--device", "d", "--serial", kSerial,
                           "--var", "product=VRX3", "--var", "verflag=Z07", "--var",
                           "bootmode=main", "--var", "systype=sing", "--reboot-delay", "0"});
        if (!dev.ok()) return 1;
        const path out = work.path() / "install.out";
        auto t0 = bench::Clock::now();
        pid_t pid = bench::spawn(
            {TESSARO_INSTALLER_BIN, "1", "1"}, pkg,
            {"TESSARO_DEVSIM_DIR=" + (work.path() / "sockets").string(), "LC_ALL=C"}, out);
        bench::ChildEnd end = bench::wait_child(pid, t0);
        std::ifstream in(out);
        std::stringstream text;
        text << in.rdbuf();
        ok = end.status == 0 && text.str().find("###All Done.") != std::string::npos &&
             text.str().find("Downloading Error!") == std::string::npos;
        if (!ok) std::fprintf(stderr, "the install failed:\n%s\n", text.str().c_str());
        peak_kib = end.peak_kib;
        seconds = end.seconds;
    }
    const path stored = storage / "d" / "xzsystem";
    std::error_code ec;
    const bool same =
        ok && bench::fs::file_size(stored, ec) == size && !ec && bench::file_crc(stored) == crc;
    const double mib = static_cast<double>(size) / (1024.0 * 1024.0);
    const double peak_mib = static_cast<double>(peak_kib) / 1024.0;
    std::fprintf(stderr,
                 "install of a %.0f MiB system.bin in 32 MiB pieces: %.2f s (with its sleeps), "
                 "device holds the same bytes: %s, installer's peak RSS %.1f MiB\n",
                 mib, seconds, same ? "yes" : "no", peak_mib);
    if (!same) return 1;
    bench::row(sparse ? "peak RSS of the installer, 5 GiB sparse file, piece road"
                      : "peak RSS of the installer, 1 GiB file, piece road",
               peak_mib, kLimitMiB, peak_mib / kLimitMiB, "< 48 MiB", "MiB");
    return peak_mib < kLimitMiB ? 0 : 1;
}
