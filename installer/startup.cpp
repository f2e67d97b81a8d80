// The command line of a run: its requests, its number arguments, the help and usage texts.
#include "installer/startup.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <string>

#include "console/console.h"

namespace {

// kept in a fixed buffer: a signal handler writes it out as it stands
char g_stop_note[512];
size_t g_stop_note_len = 0;

void set_stop_note(std::string_view text) {
    g_stop_note_len = std::min(text.size(), sizeof g_stop_note);
    std::copy_n(text.data(), g_stop_note_len, g_stop_note);
}

}  // namespace

void note_last_write(std::string_view what) {
    if (what.empty()) {
        set_stop_note(
            "\nstopped: nothing has been written to the device yet; running the installer again "
            "starts from the beginning\n");
        return;
    }
    set_stop_note("\nstopped: the last thing written to the device was " + std::string(what) +
                  ";\nrunning the installer again resumes from there\n");
}

std::string_view stop_note() {
    if (g_stop_note_len == 0) note_last_write({});
    return {g_stop_note, g_stop_note_len};
}

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
    con_out(
        "usage: tessaro-installer [DOREBOOT [DOFAST [SERIAL]]]\n"
        "       tessaro-installer --dry-run [DOREBOOT [DOFAST [SERIAL]]]\n"
        "       tessaro-installer --list [--json]\n"
        "       tessaro-installer --help | -h | --version\n"
        "\n"
        "Installs the firmware package in the current directory (config.bin and the image\n"
        "files) on an e-reader device through its USB bootloader.\n"
        "\n"
        "Arguments, all optional and positional:\n"
        "  DOREBOOT  a whole number; 0 leaves the device in its bootloader at the end of the\n"
        "            run instead of rebooting it (default 1). RQ3 devices are always rebooted.\n"
        "  DOFAST    a whole number; above 0 the menus take their automatic choice instead of\n"
        "            reading one (above 1, a package of both systems installs both with a\n"
        "            wipe); any nonzero value, negative ones too, makes the closing wait 1\n"
        "            second instead of 60 (default 0).\n"
        "  SERIAL    install only on the device with this serial number, or the one that hangs\n"
        "            at this place (\"1-2.3\": USB bus 1, ports 2 and 3) (default, or empty: the\n"
        "            first device found).\n"
        "A whole number is an optional sign and decimal digits (numbers beyond the range of\n"
        "int are held at its ends); anything else for DOREBOOT or DOFAST is a usage error and\n"
        "nothing is sent. Each given argument is echoed as a line (###doreboot:N, ###dofast:N,\n"
        "###serial:S).\n"
        "\n"
        "--dry-run finds the device as a run does and only asks it what the install reads\n"
        "before it writes (getvars); then the whole install, with the same lines and menus,\n"
        "runs against a twin of the device inside the installer, and the plan of what the twin\n"
        "received ends the output: the loader's road, the partition tables, each file to its\n"
        "partition with its size and whether the device checks it, the system marker, the\n"
        "wipe, the closing reboot, the bytes and their time at TESSARO_RATE MB/s (default 35,\n"
        "USB 2.0 high speed), then \"###Nothing was written to SERIAL\". The exit status is\n"
        "that of the same real run. TESSARO_PLAN=FILE also writes the plan as one JSON object.\n"
        "\n"
        "--list asks every bootloader device there is what it is (getvar of product,\n"
        "serialno, verflag and systype only: nothing is written, nothing rebooted, no device\n"
        "waited for) and prints one line each: serial number, model, loader version, current\n"
        "system (native, second or dual) and storage variant; then one line for each device\n"
        "that could not be opened (access refused, held by another program, no WinUSB\n"
        "driver), with the fix. --list --json prints the same as one JSON object per line:\n"
        "  {\"serial\":S,\"model\":M,\"loader\":V,\"system\":\"native\"|\"second\"|\"dual\",\n"
        "   \"variant\":\"4GB\"|\"32GB\"|\"\",\"path\":P,\"simulated\":true|false}\n"
        "  {\"device\":D,\"error\":\"refused\"|\"busy\"|\"no-driver\",\"reason\":R}\n"
        "An unknown board id gives an empty model. Exit status 0, with no device too.\n"
        "\n"
        "Menus read one word per choice from standard input; its first character counts. When\n"
        "standard input ends at a menu, or is closed, the menu takes 0 (Exit).\n"
        "\n"
        "Unattended (DOFAST above 0), the menus choose:\n"
        "  family  package        choice                                 user data\n"
        "  RQ3     native system  1 Upgrade                              kept\n"
        "  RQ3     second system  2 Upgrade&Wipe                         WIPED\n"
        "  RQ3     both systems   2 Upgrade&Wipe (second system)         WIPED\n"
        "  others  native system  1 Upgrade                              kept\n"
        "  others  second system  3 convert to the second system         WIPED\n"
        "  others  both systems   3 convert to the second system         WIPED\n"
        "                         (DOFAST above 1: 5, both systems)      WIPED\n"
        "\n"
        "Output: every line meant for a person or a wrapper program begins with \"###\" and goes\n"
        "to standard output, which is flushed at fixed points; errors and \"< waiting for\n"
        "device >\" go to standard error. Chinese texts are written as GBK, or as UTF-8 when the\n"
        "locale's codeset is UTF-8. A run ends with \"###All Done.\", except when the package\n"
        "does not match the device and when an RQ3 install completes. If the reader of the\n"
        "output goes away (SIGPIPE), the output is lost and the install goes on.\n"
        "\n"
        "While waiting for its device the installer prints \"< waiting for device >\" once;\n"
        "after a few seconds it says, one line each, what is in the way: bootloader devices\n"
        "with other serial numbers, a device this user may not open (the fix: the udev rule\n"
        "70-tessaro.rules, or group membership), a device another program holds. On a\n"
        "terminal the progress bar moves during each transfer, with bytes, rate and time left.\n"
        "\n"
        "A run stays with the device it found first: after a reboot of the device it takes\n"
        "only the device that hangs where that one did (the same USB port), and any other\n"
        "bootloader device it sees is named once (\"another device SERIAL at PLACE is not the\n"
        "one being installed; left alone\") and never sent a command. A device that has not\n"
        "come back from a reboot after a minute is told of, with what to check.\n"
        "\n"
        "Environment:\n"
        "  TESSARO_TRACE       a file to append the run's trace to, one JSON object per line:\n"
        "                      every command and answer, data phase, USB error, wait for the\n"
        "                      device and the run's end with its outcome and plan. The output\n"
        "                      is the same with or without it (a file that cannot be written\n"
        "                      is named once on standard error). Attach it to a bug report.\n"
        "  TESSARO_DEVSIM_DIR  a directory of simulated devices (tessaro-devsim) to use instead\n"
        "                      of the host's USB devices. When set, only simulated devices\n"
        "                      are used, even before the directory exists.\n"
        "\n"
        "Loaders: a build carries either stand-ins for the device maker's loader images, which\n"
        "it writes only to simulated devices (a device on real USB that needs a new loader ends\n"
        "the run with an error), or the maker's images (configured with\n"
        "-DTESSARO_LOADER_DIR=DIR). --version says which.\n"
        "\n"
        "Signals: Ctrl+C (SIGINT) and a closing terminal (SIGHUP) stop the run while it waits\n"
        "for its device (at start-up or after a reboot of the device), while a menu waits for a\n"
        "choice, and in the closing wait; stopped at a wait, it says on standard error what was\n"
        "written to the device last, and running the installer again resumes from there. While\n"
        "it sends to the device both are ignored, so that a write is never broken off;\n"
        "Ctrl+\\ (SIGQUIT) and SIGTERM still stop it.\n"
        "\n"
        "Exit status:\n"
        "  0  every run that ends normally, a refused package (\"Device Not Match\") and a\n"
        "     failed install (\"Downloading Error!\") included\n"
        "  1  the program stopped on an internal fault (\"error: ...\")\n"
        "  2  DOREBOOT or DOFAST is not a whole number (usage error)\n");
}
