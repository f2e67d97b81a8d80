#include "support/bench_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "base/c_string_array.h"
#include "check/crc32.h"

extern char** environ;

namespace bench {

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

WorkDir::WorkDir(const fs::path& base)
    : path_(fs::absolute(base) / ("run-" + std::to_string(::getpid()))) {
    fs::create_directories(path_);
}

WorkDir::~WorkDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

pid_t spawn(const std::vector<std::string>& args, const fs::path& cwd,
            const std::vector<std::string>& env, const fs::path& out) {
    std::vector<std::string> strings(args);
    std::vector<char*> argv = base::c_string_array(strings);
    std::vector<std::string> env_strings;
    for (char** e = environ; *e != nullptr; ++e) env_strings.emplace_back(*e);
    env_strings.insert(env_strings.end(), env.begin(), env.end());
    std::vector<char*> envp = base::c_string_array(env_strings);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

ChildEnd wait_child(pid_t pid, Clock::time_point started) {
    ChildEnd end;
    int status = 0;
    rusage use{};
    if (pid <= 0 || ::wait4(pid, &status, 0, &use) != pid) return end;
    end.seconds = seconds_since(started);
    end.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    end.peak_kib = static_cast<uint64_t>(use.ru_maxrss);
    return end;
}

Devsim::Devsim(const fs::path& dir, const std::vector<std::string>& args) {
    int out[2];
    if (::pipe(out) != 0) return;
    std::vector<std::string> strings = {TESSARO_DEVSIM_BIN, "--dir", dir.string()};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv = base::c_string_array(strings);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    int rc = posix_spawn(&pid_, TESSARO_DEVSIM_BIN, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (rc != 0) {
        pid_ = -1;
        ::close(out[0]);
        return;
    }
    std::string seen;
    char c;
    while (seen.find("ready") == std::string::npos && ::read(out[0], &c, 1) == 1) seen += c;
    ::close(out[0]);
    if (seen.find("ready") == std::string::npos) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

Devsim::~Devsim() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
}

std::vector<std::string> make_rq3_package(const fs::path& dir, uint64_t system_bytes, int seed) {
    const std::string tool = std::string(TESSARO_TOOLS_DIR) + "/make_sample_package";
    pid_t pid = spawn(
        {tool, dir.string(), "--model", "pagora8", "--rq3-native", "--size", "4096", "--size-of",
         "system.bin=" + std::to_string(system_bytes), "--seed", std::to_string(seed)},
        fs::current_path(), {}, "/dev/null");
    if (wait_child(pid, Clock::now()).status != 0) return {};
    return {"data.bin", "recovery.bin", "kernel.bin", "system.bin"};
}

std::vector<std::string> rq3_device(const std::string& name, const std::string& serial) {
    return {"--device",    name,    "--serial",    serial,           "--var",
            "product=RQ3", "--var", "verflag=Z05", "--reboot-delay", "0"};
}

uint64_t image_bytes(const fs::path& dir) {
    uint64_t total = 0;
    for (const auto& e : fs::directory_iterator(dir)) {
        if (e.path().extension() == ".bin" && e.path().filename() != "config.bin")
            total += e.file_size();
    }
    return total;
}

uint32_t file_crc(const fs::path& p) {
    std::FILE* f = std::fopen(p.c_str(), "rb");
    if (f == nullptr) return 0;
    const uint32_t crc = GetFileCRC(f);
    std::fclose(f);
    return crc;
}

void evict(const std::vector<fs::path>& files) {
    for (const auto& f : files) {
        int fd = ::open(f.c_str(), O_RDONLY);
        if (fd < 0) continue;
        ::fdatasync(fd);
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
    }
}

void row(const std::string& figure, double ours, double reference, double ratio,
         const std::string& target, const std::string& unit) {
    std::printf("ROW|%s|%.4g|%.4g|%.4g|%s|%s\n", figure.c_str(), ours, reference, ratio,
                target.c_str(), unit.c_str());
    std::fflush(stdout);
}

}  // namespace bench
