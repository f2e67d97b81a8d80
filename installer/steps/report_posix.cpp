// The run's report on POSIX hosts: stop signals held off while it changes, uname, and writes
// that a signal handler may make.
#include <fcntl.h>
#include <signal.h>  // NOLINT(modernize-deprecated-headers): sigprocmask is POSIX, not in <csignal>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "installer/steps/report_host.h"

namespace report_host {

namespace {

sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : {SIGINT, SIGHUP, SIGTERM, SIGQUIT}) sigaddset(&set, sig);
    return set;
}

// the mask the outermost Hold found (the run changes the report on its main thread only)
int g_depth = 0;
sigset_t g_before;

}  // namespace

Hold::Hold() {
    if (g_depth++ > 0) return;
    const sigset_t set = stop_signals();
    pthread_sigmask(SIG_BLOCK, &set, &g_before);
}

Hold::~Hold() {
    if (--g_depth > 0) return;
    pthread_sigmask(SIG_SETMASK, &g_before, nullptr);
}

std::string host_name() {
    utsname u{};
    if (uname(&u) != 0) return "?";
    return std::string(u.sysname) + " " + u.release + " " + u.machine;
}

std::tm utc_time(std::time_t secs) {
    std::tm tm{};
    gmtime_r(&secs, &tm);
    return tm;
}

int create_file(const char* path, std::string* why) {
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) *why = std::strerror(errno);
    return fd;
}

void write_bytes(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
}

void close_file(int fd) {
    if (fd >= 0) ::close(fd);
}

}  // namespace report_host
