#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>

namespace support {

namespace fs = std::filesystem;

Pipe::Pipe() {
    if (::pipe2(fd, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
}

Pipe::~Pipe() {
    close_read();
    close_write();
}

void Pipe::close_read() {
    if (fd[0] >= 0) ::close(fd[0]);
    fd[0] = -1;
}

void Pipe::close_write() {
    if (fd[1] >= 0) ::close(fd[1]);
    fd[1] = -1;
}

std::vector<char*> c_strings(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

std::string devsim_bin() {
#ifdef TESSARO_DEVSIM_BIN
    return TESSARO_DEVSIM_BIN;
#else
    return "";
#endif
}

bool Devsim::tcp_by_default() {
    const char* link = std::getenv("TESSARO_TEST_LINK");
    return link != nullptr && std::string_view(link) == "tcp";
}

std::pair<std::string, std::string> Devsim::link_variable() const {
    if (!tcp_) return {"TESSARO_DEVSIM_DIR", socket_dir().string()};
    // "listening NAME ADDRESS" lines, one per device, before "ready"
    std::string addresses;
    std::istringstream in(greeting_);
    for (std::string word, name, address; in >> word;) {
        if (word != "listening" || !(in >> name >> address)) continue;
        addresses += (addresses.empty() ? "" : ",") + address;
    }
    return {"TESSARO_DEVSIM_ADDR", addresses};
}

Devsim::Devsim(const std::vector<std::string>& args, bool tcp) : tcp_(tcp) {
    start(args, "127.0.0.1:0");
}

void Devsim::restart(const std::vector<std::string>& args) {
    stop(SIGTERM);
    // the first device's address again (the next ones follow it)
    std::string first;
    std::istringstream in(greeting_);
    for (std::string word, name; first.empty() && in >> word;) {
        if (word == "listening") in >> name >> first;
    }
    greeting_.clear();
    start(args, first);
}

void Devsim::start(const std::vector<std::string>& args, const std::string& listen) {
    if (devsim_bin().empty()) throw std::runtime_error("tessaro-devsim is not built");
    fs::create_directories(socket_dir());
    std::vector<std::string> argv = {devsim_bin(), "--transcript", transcript_path().string()};
    if (tcp_) {
        argv.insert(argv.end(), {"--listen", listen});
    } else {
        argv.insert(argv.end(), {"--dir", socket_dir().string()});
    }
    argv.insert(argv.end(), args.begin(), args.end());
    Pipe out;
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
#ifdef __linux__
        // a test that aborts takes its device with it: left running, it would hold the test's
        // standard error open and keep CTest waiting for its timeout
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
#endif
        ::dup2(out.fd[1], STDOUT_FILENO);
        auto cargs = c_strings(argv);
        ::execv(cargs[0], cargs.data());
        ::_exit(127);
    }
    out.close_write();
    // "ready" once every initially present socket listens
    char buf[256];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (greeting_.find("ready") == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{out.fd[0], POLLIN, 0};
        std::string why;
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            why = "tessaro-devsim did not become ready: ";
        } else if (ssize_t n = ::read(out.fd[0], buf, sizeof buf); n > 0) {
            greeting_.append(buf, static_cast<size_t>(n));
            continue;
        } else {
            why = "tessaro-devsim ended before ready: ";
        }
        stop(SIGKILL);
        throw std::runtime_error(why + greeting_);
    }
}

Devsim::~Devsim() {
    stop(SIGTERM);
}

int Devsim::stop(int signal) {
    int status = 0;
    if (pid_ > 0) {
        ::kill(pid_, signal);
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    return status;
}

std::vector<std::string> Devsim::transcript() const {
    std::vector<std::string> lines;
    std::ifstream in(transcript_path());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> Devsim::commands() const {
    // {"dev":"NAME","ev":"command","text":"..."}: the text is the last field
    std::vector<std::string> out;
    const std::string key = R"("ev":"command","text":")";
    for (const auto& line : transcript()) {
        auto at = line.find(key);
        if (at == std::string::npos) continue;
        auto start = at + key.size();
        auto end = line.rfind("\"}");
        if (end == std::string::npos || end < start) continue;
        out.push_back(line.substr(start, end - start));
    }
    return out;
}

}  // namespace support
