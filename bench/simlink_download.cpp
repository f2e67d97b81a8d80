// How fast a download crosses the simulated link: starts tessaro-devsim in a temporary
// directory, opens the device through the installer's USB layer and times fb_download_data of
// 64 MiB a few times. Prints each run and the median in MB/s (10^6 bytes per second).
//
//   simlink_download [RUNS] [--rate BYTES_PER_SEC]
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "client/transport.h"
#include "console/console.h"
#include "usb/usb.h"

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kDownload = 64U << 20;

// tessaro-devsim as a child process, stopped with SIGTERM when this goes
class Devsim {
  public:
    Devsim(const fs::path& dir, const std::string& rate) {
        int out[2];
        if (::pipe(out) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::close(out[0]);
            ::close(out[1]);
            std::string sockets = (dir / "sockets").string();
            std::vector<const char*> argv = {TESSARO_DEVSIM_BIN, "--dir", sockets.c_str()};
            if (!rate.empty()) {
                argv.push_back("--rate");
                argv.push_back(rate.c_str());
            }
            argv.insert(argv.end(), {"--device", "bench", "--serial", "BENCH0001", nullptr});
            ::execv(argv[0], const_cast<char* const*>(argv.data()));
            ::_exit(127);
        }
        ::close(out[1]);
        std::string seen;
        char buf[64];
        ssize_t n;
        while (seen.find("ready\n") == std::string::npos &&
               (n = ::read(out[0], buf, sizeof buf)) > 0) {
            seen.append(buf, static_cast<size_t>(n));
        }
        ::close(out[0]);
        ready_ = seen.find("ready\n") != std::string::npos;
    }
    ~Devsim() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    bool ready() const { return ready_; }

  private:
    pid_t pid_ = -1;
    bool ready_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    console_init();
    int runs = 5;
    std::string rate;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--rate") == 0 && i + 1 < argc) {
            rate = argv[++i];
        } else {
            char* end = nullptr;
            long n = std::strtol(argv[i], &end, 10);
            if (*end != '\0' || n < 1 || n > 1000) {
                con_err("usage: simlink_download [RUNS] [--rate BYTES_PER_SEC]\n");
                return 2;
            }
            runs = static_cast<int>(n);
        }
    }

    char tmpl[] = "/tmp/simlink-bench-XXXXXX";
    if (!::mkdtemp(tmpl)) {
        con_err("simlink_download: cannot make a temporary directory\n");
        return 1;
    }
    const fs::path dir = tmpl;
    int status = 0;
    {
        Devsim devsim(dir, rate);
        if (!devsim.ready()) {
            con_err("simlink_download: tessaro-devsim did not start (%s)\n", TESSARO_DEVSIM_BIN);
            status = 1;
        } else {
            ::setenv("TESSARO_DEVSIM_DIR", (dir / "sockets").c_str(), 1);
            usb_handle* usb = usb_open(match_trevan);
            if (!usb) {
                con_err("simlink_download: the simulated device was not found\n");
                status = 1;
            } else {
                // distinct bytes, touched once before timing so page faults are not measured
                std::vector<uint8_t> data(kDownload);
                for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 131);
                std::vector<double> rates;
                for (int r = 0; r < runs && status == 0; ++r) {
                    auto t0 = std::chrono::steady_clock::now();
                    if (fb_download_data(usb, data.data(), kDownload) != 0) {
                        con_err("simlink_download: download failed: %s\n", fb_get_error());
                        status = 1;
                        usb = nullptr;  // the transport closes the handle on most failures
                        break;
                    }
                    std::chrono::duration<double> took = std::chrono::steady_clock::now() - t0;
                    rates.push_back(kDownload / took.count() / 1e6);
                    con_out("run %d: %.0f MB/s\n", r + 1, rates.back());
                }
                if (!rates.empty()) {
                    std::sort(rates.begin(), rates.end());
                    con_out(
                        "64 MiB download over the simulated link: median %.0f MB/s over %zu runs\n",
                        rates[rates.size() / 2], rates.size());
                }
                if (usb) usb_close(usb);
            }
        }
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
    return status;
}
