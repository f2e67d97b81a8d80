// Child processes for tests: a pipe that closes its ends, and the simulated device program
// (tessaro-devsim) running in a temporary directory for as long as the object lives.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "support/temp_dir.h"

namespace support {

// A pipe whose ends are closed on exec and when the object goes.
struct Pipe {
    int fd[2] = {-1, -1};
    Pipe();
    ~Pipe();
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    void close_read();
    void close_write();
};

// argv/envp for exec: pointers into `strings`, ending with a null.
std::vector<char*> c_strings(std::vector<std::string>& strings);

// Path of the tessaro-devsim program; empty when it is not built.
std::string devsim_bin();

// tessaro-devsim running with the given arguments after --dir DIR/sockets and --transcript
// DIR/transcript.jsonl, which the object supplies; with TESSARO_TEST_LINK=tcp in the environment
// (or `tcp`) it listens on loopback TCP ports instead of the socket directory. The constructor
// returns once the program has said "ready" (every socket then listens) and throws when it does not
// within 10 s. Stopped with SIGTERM when the object goes.
class Devsim {
  public:
    explicit Devsim(const std::vector<std::string>& args, bool tcp = tcp_by_default());
    ~Devsim();
    Devsim(const Devsim&) = delete;
    Devsim& operator=(const Devsim&) = delete;

    static bool tcp_by_default();
    // The directory to give the installer as TESSARO_DEVSIM_DIR.
    std::filesystem::path socket_dir() const { return dir_ / "sockets"; }
    // The variable that leads the installer to these devices: TESSARO_DEVSIM_DIR, or
    // TESSARO_DEVSIM_ADDR with the devices' TCP addresses.
    std::pair<std::string, std::string> link_variable() const;
    std::filesystem::path transcript_path() const { return dir_ / "transcript.jsonl"; }
    // What the program wrote to standard output up to and including "ready".
    const std::string& greeting() const { return greeting_; }
    // The transcript's lines as written so far.
    std::vector<std::string> transcript() const;
    // Only the "command" events' texts, in order: the common thing to assert on.
    std::vector<std::string> commands() const;
    // Sends `signal` and returns the wait status of the program's end.
    int stop(int signal);
    // Stops the program and starts it again with `args`, its devices at the same places (the
    // same socket directory, or the same TCP addresses): a device that changed while unplugged.
    // The transcript starts anew.
    void restart(const std::vector<std::string>& args);

  private:
    void start(const std::vector<std::string>& args, const std::string& listen);
    TempDir dir_;
    pid_t pid_ = -1;
    std::string greeting_;
    bool tcp_ = false;
};

}  // namespace support
