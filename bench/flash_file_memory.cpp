// Peak memory and throughput of writing a package file with flash_file to the simulated device
// (1 GiB of varying bytes, or with --sparse a sparse file of 5 GiB): the file goes out one
// 32 MiB piece at a time, so the installer's resident memory must stay near one piece however
// large the file is (the bound checked here is 48 MiB). Prints a row for scripts/bench.sh.
//   flash_file_memory [WORKDIR] [--sparse]
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "check/crc32.h"
#include "console/console.h"
#include "installer/device.h"
#include "installer/flash_steps.h"
#include "support/bench_support.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr uint64_t kFileSize = 1ULL << 30;
constexpr uint64_t kSparseSize = 5ULL << 30;
constexpr uint64_t kLimitKiB = 48 * 1024;

// kB of a "Vm..." line of /proc/self/status, 0 when absent
uint64_t status_kib(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string word;
    while (status >> word) {
        if (word == key) {
            uint64_t kib = 0;
            status >> kib;
            return kib;
        }
    }
    return 0;
}

// A file of `size` bytes of varying contents (not sparse, so reading it is real work), written
// through a small buffer; its CRC-32 comes back.
uint32_t make_file(const fs::path& path, uint64_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return 0;
    std::vector<uint64_t> block((1 << 20) / sizeof(uint64_t));
    const uint32_t block_bytes = static_cast<uint32_t>(block.size() * sizeof(uint64_t));
    uint32_t crc = 0;
    uint64_t x = 0x9e3779b97f4a7c15ULL;
    for (uint64_t done = 0; done < size; done += block_bytes) {
        for (auto& word : block) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            word = x;
        }
        crc = get_crc32(crc, block.data(), block_bytes);
        std::fwrite(block.data(), 1, block_bytes, f);
    }
    std::fclose(f);
    return crc;
}

uint32_t file_crc(const fs::path& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return 0;
    uint32_t crc = GetFileCRC(f);
    std::fclose(f);
    return crc;
}

// Starts the simulated device and waits for its "ready" line; its pid, or -1.
pid_t start_devsim(const fs::path& sockets, const fs::path& storage) {
    int out[2];
    if (::pipe(out) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<std::string> args = {TESSARO_DEVSIM_BIN, "--dir",          sockets.string(),
                                     "--storage",        storage.string(), "--device",
                                     "bench0",           "--serial",       "13G0BENCH"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, TESSARO_DEVSIM_BIN, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (rc != 0) {
        ::close(out[0]);
        return -1;
    }
    std::string seen;
    char c;
    while (seen.find("ready") == std::string::npos && ::read(out[0], &c, 1) == 1) seen += c;
    ::close(out[0]);
    if (seen.find("ready") == std::string::npos) {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
        return -1;
    }
    return pid;
}

}  // namespace

int main(int argc, char** argv) {
    console_init();
    const bool sparse = argc > 2 && std::strcmp(argv[2], "--sparse") == 0;
    const uint64_t size = sparse ? kSparseSize : kFileSize;
    fs::path work =
        fs::path(argc > 1 ? argv[1] : "bench-tmp") / ("flash-" + std::to_string(::getpid()));
    fs::create_directories(work / "sockets");
    fs::create_directories(work / "storage");
    fs::path image = work / "system.bin";

    uint32_t crc = 0;
    if (sparse) {
        // holes, which the device stores as holes too
        fs::resize_file((std::ofstream(image), image), size);
        crc = file_crc(image);
    } else {
        crc = make_file(image, size);
    }
    pid_t devsim = start_devsim(work / "sockets", work / "storage");
    if (devsim < 0) {
        con_err("error: cannot start %s\n", TESSARO_DEVSIM_BIN);
        fs::remove_all(work);
        return 1;
    }
    ::setenv("TESSARO_DEVSIM_DIR", (work / "sockets").c_str(), 1);

    uint64_t before = status_kib("VmHWM:");
    auto start = std::chrono::steady_clock::now();
    int result = flash_file("xzsystem", image.c_str(), split);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    uint64_t peak = status_kib("VmHWM:");
    close_device();

    ::kill(devsim, SIGTERM);
    ::waitpid(devsim, nullptr, 0);

    fs::path stored = work / "storage" / "bench0" / "xzsystem";
    std::error_code ec;
    uint64_t stored_size = fs::file_size(stored, ec);
    bool same = !ec && stored_size == size && file_crc(stored) == crc;
    fs::remove_all(work);

    double mib = static_cast<double>(size) / (1024.0 * 1024.0);
    con_err("flash_file of %.0f MiB in %u-byte pieces: result %d, %.2f s, %.1f MiB/s\n", mib, split,
            result, seconds, mib / seconds);
    con_err("device holds the same bytes: %s\n", same ? "yes" : "no");
    con_err("peak resident memory (VmHWM): %llu KiB before, %llu KiB after (limit %llu KiB): %s\n",
            static_cast<unsigned long long>(before), static_cast<unsigned long long>(peak),
            static_cast<unsigned long long>(kLimitKiB), peak < kLimitKiB ? "below" : "ABOVE");
    if (result == 0 && same) {
        const double peak_mib = static_cast<double>(peak) / 1024.0;
        bench::row(
            sparse ? "peak RSS, 5 GiB sparse file, piece road" : "peak RSS, 1 GiB file, piece road",
            peak_mib, 48, peak_mib / 48, "< 48 MiB", "MiB");
    }
    return result == 0 && same && peak < kLimitKiB ? 0 : 1;
}
