// A child process with pipes on its standard input, output and error, and the few other things
// the server asks of the host (its own directory, random bytes, the browser). One file per host
// (child_posix.cpp, child_win.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace web {

struct ChildLaunch {
    std::filesystem::path program;
    std::vector<std::string> args;                         // without the program
    std::filesystem::path dir;                             // where it runs
    std::vector<std::pair<std::string, std::string>> env;  // set on top of the server's own
};

class Child {
  public:
    // Starts the program; throws std::runtime_error when it cannot be started.
    explicit Child(const ChildLaunch& launch);
    // Closes the pipes and waits for the program's end: a child is never killed.
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Blocking reads of standard output and error: the bytes read, 0 at the end of the stream.
    [[nodiscard]] size_t read_out(char* buf, size_t size);
    [[nodiscard]] size_t read_err(char* buf, size_t size);
    // Writes to the child's standard input; false when it is closed.
    [[nodiscard]] bool write_in(std::string_view bytes);
    void close_in();
    // Sends the program its Ctrl+C: SIGINT, or the console's Ctrl+C event on Windows. Nothing
    // once it has ended.
    void interrupt();
    // The process id.
    [[nodiscard]] long id() const;
    // Waits for the end: the exit status, or 128 + the signal that ended it.
    [[nodiscard]] int wait();

    struct Handles;

  private:
    std::unique_ptr<Handles> h_;
};

// Runs the program to its end and gives its standard output (its standard error is dropped).
[[nodiscard]] std::string run_for_output(const ChildLaunch& launch, int* status);

// What the server's process needs of its host first: a child or a page that goes away while
// something is written to it must not end the server (SIGPIPE ignored on POSIX hosts).
void prepare_host();

// The directory that holds the running program.
[[nodiscard]] std::filesystem::path own_directory();
// The name of a program of this build beside it ("tessaro-installer" or "...exe").
[[nodiscard]] std::string program_name(std::string_view base);
// `count` bytes from the system's random source.
[[nodiscard]] std::string random_bytes(size_t count);
// The same as hexadecimal text.
[[nodiscard]] std::string random_hex(size_t count);
// Windows: the server's own program started as "--ctrl-c PID" sends the Ctrl+C event to that
// process's console (a process can send it only to the console it is attached to); true then,
// with its exit status in `status`. Elsewhere false.
[[nodiscard]] bool console_interrupt_helper(int argc, char** argv, int& status);
// Hands a file or an address to the desktop's default browser; false when that could not be
// started.
[[nodiscard]] bool open_browser(const std::string& target);
// A new directory of a name no other program can guess, under the system's temporary directory,
// that only this user can enter (mode 0700 on POSIX hosts; a user's own temporary directory on
// Windows). Throws std::runtime_error when it cannot be made.
[[nodiscard]] std::filesystem::path make_private_dir(std::string_view prefix);
// The user's own directory for what the server keeps between its runs: tessaro-web under
// XDG_STATE_HOME (an absolute one) or ~/.local/state, made (mode 0700) when missing; under
// LOCALAPPDATA on Windows. Empty when there is none or it is not a directory of its own.
[[nodiscard]] std::filesystem::path user_state_dir();
// Writes a new file only this user can read (mode 0600 on POSIX hosts); false when it could not.
[[nodiscard]] bool write_private_file(const std::filesystem::path& path, std::string_view text);
// Keeps a socket (its native handle) from being handed to any child.
void keep_from_children(std::intptr_t native);
// How many descriptors the process may hold, after raising its own soft limit where it can.
[[nodiscard]] size_t descriptors_allowed();

}  // namespace web
