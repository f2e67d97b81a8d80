// The page's server: HTTP on 127.0.0.1 only, the embedded page files, the API and the live
// events (Server-Sent Events), the device listing every 2 s, and one install per device.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace web {

struct ServerOptions {
    uint16_t port = 0;  // 0: a free one
    bool open_browser = true;
    std::filesystem::path package_dir;
    std::filesystem::path installer;  // the tessaro-installer beside this program
};

// Serves until Ctrl+C (SIGINT) or SIGTERM, once no install runs any more; 0 then, 1 when it
// could not start (said on standard error).
[[nodiscard]] int run_server(const ServerOptions& options);

}  // namespace web
