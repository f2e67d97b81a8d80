#include "devsim/cli.h"

#include <signal.h>  // NOLINT(modernize-deprecated-headers): sigaction is POSIX, not in <csignal>

#include <cstring>
#include <string>
#include <vector>

#include "console/console.h"
#include "devsim/options.h"
#include "devsim/socket_server.h"

namespace devsim {

namespace {

SocketServer* g_server = nullptr;

extern "C" void on_stop_signal(int /*sig*/) {
    if (g_server) g_server->request_stop();
}

void install_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    // a host that disconnects while the device writes must not end the process
    signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int devsim_main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    ParsedOptions opts = parse_options(args);
    // a replayed file's unused lines are named, whatever else is wrong
    for (const std::string& note : opts.notes) con_err("tessaro-devsim: %s\n", note.c_str());
    if (opts.help) {
        con_out("%s", kUsage);
        con_flush();
        return 0;
    }
    if (!opts.config) {
        con_err("tessaro-devsim: %s\n%s", opts.error.c_str(), kUsage);
        return 2;
    }
    SocketServer server(std::move(*opts.config));
    g_server = &server;
    install_signals();
    if (std::string err = server.start(); !err.empty()) {
        g_server = nullptr;
        con_err("tessaro-devsim: %s\n", err.c_str());
        return 1;
    }
    for (const auto& [name, address] : server.addresses()) {
        con_out("listening %s %s\n", name.c_str(), address.c_str());
    }
    con_out("ready\n");
    con_flush();
    server.run();
    g_server = nullptr;
    return 0;
}

}  // namespace devsim
