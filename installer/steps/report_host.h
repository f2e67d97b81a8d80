// What the run's report needs of the host: report_posix.cpp and report_win.cpp each give one
// host's version.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

namespace report_host {

// While one lives, a stop (a signal on POSIX hosts, the console's control handler on Windows)
// cannot write the report: what it would read is being changed. Nests; async-signal-safe on
// POSIX hosts.
class Hold {
  public:
    Hold();
    ~Hold();
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
};

// The host system as a person names it: "Linux 6.1.0 x86_64", "Windows 10.0.19045 x86_64".
[[nodiscard]] std::string host_name();
// The calendar time in UTC.
[[nodiscard]] std::tm utc_time(std::time_t secs);
// A new (emptied) file for writing, closed when the process ends; -1 when it cannot be
// opened, with the reason in `why`.
[[nodiscard]] int create_file(const char* path, std::string* why);
// Writes every byte it can. Async-signal-safe on POSIX hosts.
void write_bytes(int fd, std::string_view bytes);
void close_file(int fd);

}  // namespace report_host
