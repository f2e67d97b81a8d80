#include "devsim_process.h"

#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "installer/device.h"
#include "usb/usb_platform.h"

extern char** environ;

devsim_process::devsim_process(const std::vector<std::string>& args) {
#ifdef TESSARO_DEVSIM_BIN
    std::string tmpl = (std::filesystem::temp_directory_path() / "tessaro-devsim-XXXXXX").string();
    dir_ = ::mkdtemp(tmpl.data());
    std::vector<std::string> all = {TESSARO_DEVSIM_BIN, "--dir", (dir_ / "sockets").string(),
                                    "--storage", (dir_ / "storage").string()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2];
    if (::pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, TESSARO_DEVSIM_BIN, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::string seen;
    char c;
    while (rc == 0 && seen.find("ready") == std::string::npos && ::read(out[0], &c, 1) == 1) {
        seen += c;
    }
    ::close(out[0]);
    if (rc != 0) return;
    pid_ = pid;
    if (seen.find("ready") == std::string::npos) return;
    ready_ = true;

    ::setenv("TESSARO_DEVSIM_DIR", (dir_ / "sockets").c_str(), 1);
    usb_platform_install(usb_platform_devsim());
    usb = nullptr;
#else
    (void)args;
#endif
}

devsim_process::~devsim_process() {
    close_device();
    usb_platform_install(usb_platform_null());
    ::unsetenv("TESSARO_DEVSIM_DIR");
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
}

std::string devsim_process::partition(const std::string& device, const std::string& name) const {
    std::ifstream in(dir_ / "storage" / device / name, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}
