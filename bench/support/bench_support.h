// What the benchmark programs share: child processes with their peak memory, tessaro-devsim
// started and stopped, sample packages, page-cache eviction, and the one line format that
// scripts/bench.sh gathers into its table.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace bench {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start);

// A working directory under `base` (made if missing), removed with everything in it when the
// object goes.
class WorkDir {
  public:
    explicit WorkDir(const fs::path& base);
    ~WorkDir();
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

struct ChildEnd {
    int status = -1;        // exit status, -1 when it did not exit normally
    uint64_t peak_kib = 0;  // its peak resident memory
    double seconds = 0;     // from start to end
};

// Runs `args` in `cwd` with `env` added to the environment, standard input from /dev/null and
// standard output and error to `out` (truncated); returns its pid.
pid_t spawn(const std::vector<std::string>& args, const fs::path& cwd,
            const std::vector<std::string>& env, const fs::path& out);
// Waits for the child; `started` is when it was spawned.
ChildEnd wait_child(pid_t pid, Clock::time_point started);

// tessaro-devsim with `args` after --dir DIR; returns once it said "ready", stopped with SIGTERM
// when the object goes.
class Devsim {
  public:
    Devsim(const fs::path& dir, const std::vector<std::string>& args);
    ~Devsim();
    Devsim(const Devsim&) = delete;
    Devsim& operator=(const Devsim&) = delete;
    bool ok() const { return pid_ > 0; }

  private:
    pid_t pid_ = -1;
};

// An RQ3 sample package (make_sample_package, model pagora8, the native set) with 4 KiB images
// and system.bin of `system_bytes`; the images' names.
std::vector<std::string> make_rq3_package(const fs::path& dir, uint64_t system_bytes, int seed);
// The device arguments of an RQ3 device that needs no loader.
std::vector<std::string> rq3_device(const std::string& name, const std::string& serial);
// The sum of the sizes of the files in `dir` whose names end in ".bin".
uint64_t image_bytes(const fs::path& dir);
// The CRC-32 of a file's contents (GetFileCRC); 0 when it cannot be opened.
uint32_t file_crc(const fs::path& p);

// Writes the files out and drops them from the page cache (a cold read comes from the disk).
void evict(const std::vector<fs::path>& files);

// One row of the table: "ROW|figure|ours|reference|ratio|target|unit".
void row(const std::string& figure, double ours, double reference, double ratio,
         const std::string& target, const std::string& unit);

}  // namespace bench
