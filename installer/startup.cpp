#include "installer/startup.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <string>

#include "console/console.h"

bool is_number_argument(std::string_view text) {
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) text.remove_prefix(1);
    if (text.empty()) return false;
    return std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; });
}

int number_argument(std::string_view text) {
    std::string s(text);
    long v = std::strtol(s.c_str(), nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

StartRequest read_start_request(int argc, char** argv) {
    if (argc > 1) {
        std::string_view first = argv[1];
        if (first == "--help" || first == "-h") return StartRequest::Help;
        if (first == "--version") return StartRequest::Version;
        if (first == "--list") {
            if (argc == 2) return StartRequest::List;
            if (argc == 3 && std::string_view(argv[2]) == "--json") return StartRequest::ListJson;
            return StartRequest::Usage;
        }
    }
    // DOREBOOT and DOFAST; SERIAL is free text
    for (int i = 1; i < argc && i <= 2; ++i) {
        if (!is_number_argument(argv[i])) return StartRequest::Usage;
    }
    return StartRequest::Run;
}

void print_usage_error(int argc, char** argv) {
    const bool list = argc > 1 && std::string_view(argv[1]) == "--list";
    if (list) con_err("tessaro-installer: --list takes nothing after it but --json\n");
    for (int i = 1; !list && i < argc && i <= 2; ++i) {
        if (is_number_argument(argv[i])) continue;
        con_err("tessaro-installer: %s must be a whole number, not '%s'\n",
                i == 1 ? "DOREBOOT" : "DOFAST", argv[i]);
        break;
    }
    con_err(
        "usage: tessaro-installer [DOREBOOT [DOFAST [SERIAL]]]\n"
        "       tessaro-installer --list [--json]\n"
        "       tessaro-installer --help | -h | --version\n"
        "Try 'tessaro-installer --help' for more.\n");
}
