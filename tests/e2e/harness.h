// End-to-end harness: a simulated device (the tessaro-devsim program) in a temporary directory,
// and runs of the tessaro-installer program against it with given arguments and input.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace e2e {

// A directory removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    // Writes a file (relative to the directory) and returns its path.
    std::filesystem::path write(const std::string& name, const std::string& bytes) const;

private:
    std::filesystem::path path_;
};

// tessaro-devsim running with the given arguments (after --dir and --transcript, which the
// harness supplies). Stopped (SIGTERM) when the object goes.
class Devsim {
public:
    // Waits until the program prints "ready" unless `wait_ready` is false.
    explicit Devsim(const std::vector<std::string>& args, bool wait_ready = true);
    ~Devsim();
    Devsim(const Devsim&) = delete;
    Devsim& operator=(const Devsim&) = delete;

    // The directory to give the installer as TESSARO_DEVSIM_DIR.
    std::filesystem::path socket_dir() const { return dir_.path() / "sockets"; }
    std::filesystem::path storage_dir() const { return dir_.path() / "storage"; }
    // The transcript's lines as written so far.
    std::vector<std::string> transcript() const;
    // Only the "command" events' texts, in order: the common thing to assert on.
    std::vector<std::string> commands() const;

private:
    TempDir dir_;
    int pid_ = -1;
};

struct RunResult {
    int status = -1;       // exit status, or 128 + signal, or -1 when it was killed on timeout
    std::string out;       // standard output, as bytes
    std::string err;       // standard error, as bytes
    bool timed_out = false;
};

struct RunOptions {
    std::vector<std::string> args;                // after the program name
    std::string input;                            // standard input (closed after it)
    std::filesystem::path cwd;                    // the package directory
    std::filesystem::path devsim_dir;             // TESSARO_DEVSIM_DIR
    std::map<std::string, std::string> env;       // further variables (LC_ALL=C is the default)
    std::chrono::milliseconds timeout{60000};
};

// Runs tessaro-installer and collects what it wrote.
RunResult run_installer(const RunOptions& options);
// Runs any program the same way (argv[0] is the program's path).
RunResult run_program(const std::string& program, const RunOptions& options);

// One of the system's UTF-8 texts as the installer writes it under LC_ALL=C (GBK).
std::string gbk(const std::string& utf8);

// Paths of the programs under test.
std::string installer_bin();
std::string devsim_bin();
std::string tools_dir();

}  // namespace e2e
