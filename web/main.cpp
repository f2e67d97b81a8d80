// tessaro-web [--port N] [--no-browser] [PACKAGE_DIR]: a page on this computer that installs
// by click, running the tessaro-installer beside this program for each device.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "web/child.h"
#include "web/server.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: tessaro-web [--port N] [--no-browser] [PACKAGE_DIR]\n"
                 "Serves a page on 127.0.0.1 that installs the package in PACKAGE_DIR (default:\n"
                 "the current directory) on the devices tessaro-installer finds.\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (int status = 0; web::console_interrupt_helper(argc, argv, status)) return status;
    web::ServerOptions options;
    options.package_dir = std::filesystem::current_path();
    bool dir_given = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            (void)usage();
            return 0;
        }
        if (a == "--no-browser") {
            options.open_browser = false;
        } else if (a == "--port" && i + 1 < argc) {
            char* end = nullptr;
            const long port = std::strtol(argv[++i], &end, 10);
            if (*argv[i] == '\0' || *end != '\0' || port < 1 || port > 65535) return usage();
            options.port = static_cast<uint16_t>(port);
        } else if (!a.empty() && a[0] != '-' && !dir_given) {
            options.package_dir = std::filesystem::absolute(a);
            dir_given = true;
        } else {
            return usage();
        }
    }
    std::error_code ec;
    if (!std::filesystem::is_directory(options.package_dir, ec)) {
        std::fprintf(stderr, "tessaro-web: %s is not a directory\n",
                     options.package_dir.string().c_str());
        return 2;
    }
    options.installer = web::own_directory() / web::program_name("tessaro-installer");
    if (!std::filesystem::exists(options.installer, ec)) {
        std::fprintf(stderr, "tessaro-web: %s is missing; it must stand beside this program\n",
                     options.installer.string().c_str());
        return 1;
    }
    return web::run_server(options);
}
