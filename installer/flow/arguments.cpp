// The command line of a run: its requests, its number arguments, the help and usage texts.
#include "installer/flow/arguments.h"

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

bool dry_run_request(int argc, char** argv) {
    return argc > 1 && std::string_view(argv[1]) == "--dry-run";
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
    const int first = dry_run_request(argc, argv) ? 2 : 1;
    if (first == 2 && argc > 5) return StartRequest::Usage;
    for (int i = first; i < argc && i <= first + 1; ++i) {
        if (!is_number_argument(argv[i])) return StartRequest::Usage;
    }
    return first == 2 ? StartRequest::DryRun : StartRequest::Run;
}

void print_usage_error(int argc, char** argv) {
    const bool list = argc > 1 && std::string_view(argv[1]) == "--list";
    if (list) con_err("tessaro-installer: --list takes nothing after it but --json\n");
    const int first = dry_run_request(argc, argv) ? 2 : 1;
    if (first == 2 && argc > 5) con_err("tessaro-installer: too many arguments\n");
    for (int i = first; !list && i < argc && i <= first + 1; ++i) {
        if (is_number_argument(argv[i])) continue;
        con_err("tessaro-installer: %s must be a whole number, not '%s'\n",
                i == first ? "DOREBOOT" : "DOFAST", argv[i]);
        break;
    }
    con_err(
        "usage: tessaro-installer [DOREBOOT [DOFAST [SERIAL]]]\n"
        "       tessaro-installer --dry-run [DOREBOOT [DOFAST [SERIAL]]]\n"
        "       tessaro-installer --list [--json]\n"
        "       tessaro-installer --help | -h | --version\n"
        "Try 'tessaro-installer --help' for more.\n");
}

void print_help() {
    // one screen of 80 columns: the forms used most, the rest in the manual page
    con_out(
        "usage: tessaro-installer [DOREBOOT [DOFAST [SERIAL]]]\n"
        "       tessaro-installer --dry-run [DOREBOOT [DOFAST [SERIAL]]]\n"
        "       tessaro-installer --list [--json]\n"
        "       tessaro-installer --help | -h | --version\n"
        "Installs the firmware package in the current directory (config.bin and the\n"
        "images) on an e-reader waiting in its USB bootloader.\n"
        "\n"
        "  tessaro-installer           asks at the menu; reboots the device at the end\n"
        "  tessaro-installer 1 1       the menu's own choice; a 1 s closing wait\n"
        "  tessaro-installer 1 0 SER   only the device with serial number (or place) SER\n"
        "  tessaro-installer --list    the bootloader devices there are; writes nothing\n"
        "\n"
        "DOREBOOT  1 (default): reboot at the end; 0: leave it in its bootloader\n"
        "DOFAST    above 0: the menus choose (above 1: both systems, WIPED); nonzero:\n"
        "          a 1 s closing wait, not 60 s; default 0\n"
        "SERIAL    a serial number or a place (1-2.3); default: the first device found\n"
        "Unattended: native system 1 Upgrade (kept); second system 3 convert (RQ3:\n"
        "2 Upgrade&Wipe), user data WIPED.\n"
        "--dry-run: the same run against a twin of the device; nothing is written.\n"
        "Ctrl+C ends a run that waits (device, menu); a write is never broken off.\n"
        "TESSARO_TRACE=FILE, TESSARO_REPORT=FILE: a trace, one file for a bug report.\n"
        "Exit status: 0 the run ended (refused, failed too), 1 a fault, 2 usage.\n"
        "More (signals, output, loaders, --list --json): man tessaro-installer\n");
}
