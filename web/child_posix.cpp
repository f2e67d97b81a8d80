#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "base/c_string_array.h"
#include "base/unique_fd.h"
#include "web/child.h"

namespace web {

struct Child::Handles {
    pid_t pid = -1;
    base::unique_fd in, out, err;
    std::mutex reaped;  // held while the process is reaped, so no signal goes to a reused id
    bool waited = false;
    int status = 0;
};

namespace {

struct PipeFds {
    base::unique_fd read, write;
};

PipeFds make_pipe() {
    int fd[2];
    if (::pipe2(fd, O_CLOEXEC) != 0) throw std::runtime_error(std::strerror(errno));
    return {base::unique_fd(fd[0]), base::unique_fd(fd[1])};
}

size_t read_some(int fd, char* buf, size_t size) {
    for (;;) {
        const ssize_t n = ::read(fd, buf, size);
        if (n >= 0) return static_cast<size_t>(n);
        if (errno != EINTR) return 0;
    }
}

}  // namespace

Child::Child(const ChildLaunch& launch) : h_(std::make_unique<Handles>()) {
    // everything the child needs is made before fork: after it only exec and dup2 run
    std::vector<std::string> args{launch.program.string()};
    args.insert(args.end(), launch.args.begin(), launch.args.end());
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string_view var(*e);
        bool replaced = false;
        for (const auto& [k, v] : launch.env) {
            replaced = replaced || var.substr(0, k.size() + 1) == k + "=";
        }
        if (!replaced) env.emplace_back(var);
    }
    for (const auto& [k, v] : launch.env) env.push_back(std::string(k).append("=").append(v));
    auto argv = base::c_string_array(args);
    auto envp = base::c_string_array(env);
    const std::string dir = launch.dir.string();

    PipeFds in = make_pipe();
    PipeFds out = make_pipe();
    PipeFds err = make_pipe();
    // posix_spawn shares the server's memory until the exec instead of copying it, which a fork
    // of a process with threads running would (and then fault on every page both touch)
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_adddup2(&actions, in.read.get(), 0);
    posix_spawn_file_actions_adddup2(&actions, out.write.get(), 1);
    posix_spawn_file_actions_adddup2(&actions, err.write.get(), 2);
    // the child gets its own three pipes and nothing else of the server's: not the listening
    // socket, a page's connection or another child's pipe, even one opened without O_CLOEXEC
    // by a library (a child that outlives the server would keep them)
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (!dir.empty()) posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    // a group of its own: a Ctrl+C at the server's terminal is the server's to handle, and never
    // breaks off an install; the server's ignored SIGPIPE is not handed on either
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int code = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (code != 0) {
        throw std::runtime_error(std::string("cannot run ") + args[0] + ": " + std::strerror(code));
    }
    h_->pid = pid;
    h_->in = std::move(in.write);
    h_->out = std::move(out.read);
    h_->err = std::move(err.read);
}

Child::~Child() {
    h_->in.reset();
    if (!h_->waited) (void)wait();
}

size_t Child::read_out(char* buf, size_t size) {
    return read_some(h_->out.get(), buf, size);
}
size_t Child::read_err(char* buf, size_t size) {
    return read_some(h_->err.get(), buf, size);
}

bool Child::write_in(std::string_view bytes) {
    if (!h_->in) return false;
    while (!bytes.empty()) {
        const ssize_t n = ::write(h_->in.get(), bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

void Child::close_in() {
    h_->in.reset();
}

long Child::id() const {
    return h_->pid;
}

void Child::interrupt() {
    std::lock_guard lock(h_->reaped);
    if (!h_->waited) ::kill(h_->pid, SIGINT);
}

int Child::wait() {
    if (h_->waited) return h_->status;
    // the end is waited for without reaping, so interrupt() never signals an id given again
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(h_->pid), &info, WEXITED | WNOWAIT) < 0 &&
           errno == EINTR) {
    }
    std::lock_guard lock(h_->reaped);
    int status = 0;
    while (::waitpid(h_->pid, &status, 0) < 0 && errno == EINTR) {
    }
    h_->waited = true;
    h_->status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return h_->status;
}

void prepare_host() {
    ::signal(SIGPIPE, SIG_IGN);
}

std::filesystem::path own_directory() {
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/self/exe", ec).parent_path();
}

std::string program_name(std::string_view base) {
    return std::string(base);
}

std::string random_bytes(size_t count) {
    std::ifstream random("/dev/urandom", std::ios::binary);
    std::string bytes(count, '\0');
    if (!random.read(bytes.data(), static_cast<std::streamsize>(count))) {
        throw std::runtime_error("cannot read /dev/urandom");
    }
    return bytes;
}

bool console_interrupt_helper(int /*argc*/, char** /*argv*/, int& /*status*/) {
    return false;
}

bool open_browser(const std::string& target) {
    ChildLaunch launch{"/usr/bin/xdg-open", {target}, {}, {}};
    if (!std::filesystem::exists(launch.program)) return false;
    try {
        // xdg-open returns once the browser is handed the address; it is not waited for here
        std::thread([launch] {
            int status = 0;
            (void)run_for_output(launch, &status);
        }).detach();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

std::filesystem::path make_private_dir(std::string_view prefix) {
    std::string name = (std::filesystem::temp_directory_path() / prefix).string() + "XXXXXX";
    // mkdtemp: a name of its own choosing, made 0700, never one that was there before
    if (::mkdtemp(name.data()) == nullptr) {
        throw std::runtime_error("cannot make a directory " + name + ": " + std::strerror(errno));
    }
    return name;
}

std::filesystem::path user_state_dir() {
    std::filesystem::path base;
    // the XDG rule: a relative XDG_STATE_HOME is to be ignored
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg != nullptr && *xdg == '/') {
        base = xdg;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
        base = std::filesystem::path(home) / ".local" / "state";
    } else {
        return {};
    }
    std::error_code ec;
    std::filesystem::create_directories(base, ec);
    std::filesystem::path dir = base / "tessaro-web";
    (void)::mkdir(dir.c_str(), 0700);
    // a directory of this user's, not a link to somewhere else
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
        return {};
    }
    return dir;
}

bool write_private_file(const std::filesystem::path& path, std::string_view text) {
    base::unique_fd fd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd) return false;
    while (!text.empty()) {
        const ssize_t n = ::write(fd.get(), text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

void keep_from_children(std::intptr_t native) {
    const int fd = static_cast<int>(native);
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags >= 0) (void)::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

size_t descriptors_allowed() {
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) != 0) return 1024;
    // what the host allows this user, up to a number the server can use
    const rlim_t want = r.rlim_max == RLIM_INFINITY ? 8192 : std::min<rlim_t>(r.rlim_max, 8192);
    if (r.rlim_cur != RLIM_INFINITY && r.rlim_cur < want) {
        rlimit raised = r;
        raised.rlim_cur = want;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) r = raised;
    }
    return r.rlim_cur == RLIM_INFINITY ? 8192 : static_cast<size_t>(r.rlim_cur);
}

}  // namespace web
