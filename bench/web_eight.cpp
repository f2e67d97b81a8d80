// tessaro-web with eight simulated VRX3 devices installing at once (both systems of 8 MiB images
// over links of 16 MB/s, each menu
// answered through the API as the page does), followed by one live-event client as the page
// is. Figures: the server's CPU time over the installs as a share of one core, its resident
// memory (peak and at the end), and each event's delay from the server reading the child's
// line to the client receiving it (both on the host's monotonic clock). Prints rows for
// scripts/bench.sh.
//   web_eight WORKDIR
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/bench_support.h"
#include "web/asio.h"
#include "web/child.h"

namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using json = nlohmann::json;

constexpr int kDevices = 8;

std::string serial_of(int i) {
    return "067A0BENCH0" + std::to_string(i);
}

double mono_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// user + system CPU seconds of a process
double cpu_seconds(long pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string s((std::istreambuf_iterator<char>(in)), {});
    std::istringstream rest(s.substr(s.rfind(')') + 2));
    std::string f;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> f; ++i) {
        if (i == 14) utime = std::stoull(f);
        if (i == 15) stime = std::stoull(f);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double status_mib(long pid, const std::string& key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key + ":", 0) == 0) return std::stod(line.substr(key.size() + 1)) / 1024.0;
    }
    return 0;
}

struct Client {
    int port = 0;
    std::string token;
    std::string host() const { return "127.0.0.1:" + std::to_string(port); }
    int request(http::verb verb, const std::string& target, const std::string& body,
                std::string* out = nullptr) const {
        asio::io_context io;
        tcp::socket s(io);
        s.connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)});
        http::request<http::string_body> req(verb, target, 11);
        req.set(http::field::host, host());
        req.set("X-Tessaro-Token", token);
        req.set(http::field::origin, "http://" + host());
        req.body() = body;
        req.prepare_payload();
        http::write(s, req);
        boost::beast::flat_buffer buf;
        http::response<http::string_body> res;
        http::read(s, buf, res);
        if (out != nullptr) *out = res.body();
        return static_cast<int>(res.result_int());
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: web_eight WORKDIR\n");
        return 2;
    }
    bench::WorkDir work(argv[1]);
    const auto pkg = work.path() / "package";
    int status = 0;
    (void)web::run_for_output(
        {std::string(TESSARO_TOOLS_DIR) + "/make_sample_package",
         {pkg.string(), "--model", "vrx3", "--native", "--second", "--size", "8M"},
         {},
         {}},
        &status);
    // each link about as fast as a USB 2.0 bulk pipe carries a device's writes
    std::vector<std::string> devices = {"--rate", "16000000"};
    for (int i = 0; i < kDevices; ++i) {
        devices.insert(
            devices.end(),
            {"--device", "d" + std::to_string(i), "--serial", serial_of(i), "--var", "product=VRX3",
             "--var", "verflag=Z07", "--var", "bootmode=main", "--var", "systype=sing"});
    }
    const auto sockets = work.path() / "sockets";
    bench::Devsim devsim(sockets, devices);
    if (!devsim.ok()) return 1;

    web::Child server({TESSARO_WEB_BIN,
                       {"--no-browser", pkg.string()},
                       work.path(),
                       {{"TESSARO_DEVSIM_DIR", sockets.string()}}});
    std::string first;
    for (char c; server.read_out(&c, 1) == 1 && c != '\n';) first += c;
    Client client;
    const size_t colon = first.rfind(':');
    client.port = std::stoi(first.substr(colon + 1, first.find('/', colon) - colon - 1));
    client.token = first.substr(first.find("token=") + 6);
    std::thread drain([&server] {
        char buf[256];
        while (server.read_out(buf, sizeof buf) > 0) {
        }
    });

    // the page's live events; each run event's delay is taken as it arrives
    std::mutex m;
    std::vector<double> delays;
    size_t traced = 0;  // of them from the runs' traces
    std::vector<std::string> menus_waiting;
    int ended = 0, failed = 0;
    asio::io_context io;
    tcp::socket events(io);
    events.connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(client.port)});
    asio::write(events, asio::buffer("GET /api/events HTTP/1.1\r\nHost: " + client.host() +
                                     "\r\nX-Tessaro-Token: " + client.token + "\r\n\r\n"));
    std::thread reader([&] {
        std::string pending;
        char buf[8192];
        boost::system::error_code ec;
        for (size_t n; (n = events.read_some(asio::buffer(buf), ec)) > 0 && !ec;) {
            const double now = mono_now();
            pending.append(buf, n);
            for (size_t end; (end = pending.find("\n\n")) != std::string::npos;) {
                const std::string block = pending.substr(0, end);
                pending.erase(0, end + 2);
                const size_t d = block.find("data: ");
                if (d == std::string::npos) continue;
                const json e = json::parse(block.substr(d + 6));
                std::lock_guard lock(m);
                // the trace's events too: "at" is when the server's follower read the line
                if ((e.value("type", "") == "run" || e.value("type", "") == "trace") &&
                    e.contains("at")) {
                    delays.push_back(now - e["at"].get<double>());
                    traced += e.value("type", "") == "trace";
                }
                if (e.value("type", "") == "run" && e.value("kind", "") == "menu")
                    menus_waiting.push_back(e.value("path", ""));
                if (e.value("type", "") == "end") {
                    ++ended;
                    failed += e.value("state", "") != "done";
                }
            }
        }
    });

    // every device listed first
    for (int tries = 0;; ++tries) {
        std::string body;
        (void)client.request(http::verb::get, "/api/devices", "", &body);
        if (json::parse(body)["devices"].size() == kDevices) break;
        if (tries > 100) {
            std::fprintf(stderr, "web_eight: the devices were not listed\n");
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }

    const double cpu0 = cpu_seconds(server.id());
    const auto start = bench::Clock::now();
    // an install names the device by its place: its socket
    for (int i = 0; i < kDevices; ++i) {
        const std::string place = (sockets / ("d" + std::to_string(i))).string();
        if (client.request(http::verb::post, "/api/install", json{{"path", place}}.dump()) != 200) {
            std::fprintf(stderr, "web_eight: install on %s refused\n", serial_of(i).c_str());
            return 1;
        }
    }
    for (;;) {
        std::vector<std::string> answer;
        {
            std::lock_guard lock(m);
            answer.swap(menus_waiting);
            if (ended == kDevices) break;
        }
        for (const auto& s : answer) {
            (void)client.request(http::verb::post, "/api/choice",
                                 json{{"path", s}, {"key", "5"}}.dump());
        }
        if (bench::seconds_since(start) > 600) {
            std::fprintf(stderr, "web_eight: the installs did not end\n");
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const double wall = bench::seconds_since(start);
    const double cpu = cpu_seconds(server.id()) - cpu0;
    const double peak = status_mib(server.id(), "VmHWM"), rss = status_mib(server.id(), "VmRSS");

    ::kill(static_cast<pid_t>(server.id()), SIGINT);
    boost::system::error_code ec;
    events.shutdown(tcp::socket::shutdown_both, ec);
    reader.join();
    drain.join();

    std::lock_guard lock(m);
    std::sort(delays.begin(), delays.end());
    const double p50 = delays.empty() ? 0 : delays[delays.size() / 2] * 1000;
    const double p99 = delays.empty() ? 0 : delays[delays.size() * 99 / 100] * 1000;
    const double worst = delays.empty() ? 0 : delays.back() * 1000;
    std::printf("web_eight: %d installs at once in %.1f s (%d failed), %zu events (%zu traced)\n",
                kDevices, wall, failed, delays.size(), traced);
    std::printf(
        "  server CPU %.2f s = %.2f%% of one core; resident %.1f MiB peak, %.1f MiB at the end\n",
        cpu, 100 * cpu / wall, peak, rss);
    std::printf(
        "  event delay, child's line to page: median %.2f ms, 99th %.2f ms, worst %.2f ms\n", p50,
        p99, worst);
    bench::row("web server CPU, 8 installs (% of a core)", 100 * cpu / wall, 2,
               100 * cpu / wall / 2, "< 2", "%");
    bench::row("web server peak resident memory", peak, 20, peak / 20, "< 20", "MiB");
    bench::row("web event delay, worst", worst, 100, worst / 100, "< 100", "ms");
    return failed == 0 ? 0 : 1;
}
