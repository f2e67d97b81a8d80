// The run from start to end: start-up arguments, identification, the road of the RQ3 family and
// the road of the other families, the reboot exit, the error exit and the closing sequence.
#include "installer/flow.h"

#include <signal.h>  // NOLINT(modernize-deprecated-headers): sigaction is POSIX, not in <csignal>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "client/action_queue.h"
#include "console/console.h"
#include "installer/boardtype/boardtype.h"
#include "installer/device.h"
#include "installer/flash_steps.h"
#include "installer/identify.h"
#include "installer/menus.h"
#include "installer/package.h"
#include "installer/stages.h"
#include "installer/texts.h"
#include "payload/payload.h"
#include "usb/usb.h"

#ifndef TESSARO_VERSION
#define TESSARO_VERSION "unknown"
#endif

int doreboot = 1;
int dofast = 0;
int sys_type = 0;
int sys_new = 0;
int wipe = 0;
char serialno[256];

namespace {

constexpr char kBanner[] = "\n\n###########################################";

}  // namespace

void query_step(const char* var) {
    std::memset(retvalue, 0, sizeof retvalue);
    fb_queue_display(var, var);
    run_queue();
}

void set_step(const char* var, const char* value) {
    fb_queue_set(var, value, var);
    run_queue();
}

void reboot_step() {
    fb_queue_reboot();
    run_queue();
}

namespace {

// The leading decimal number of an argument, 0 when it has none. Out-of-range numbers are held
// at the ends of int instead of wrapping.
int leading_number(const char* text) {
    long v = std::strtol(text, nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

void read_arguments(int argc, char** argv) {
    if (argc > 1) {
        doreboot = leading_number(argv[1]);
        con_out("###doreboot:%d\n", doreboot);
    }
    if (argc > 2) {
        dofast = leading_number(argv[2]);
        con_out("###dofast:%d\n", dofast);
    }
    if (argc > 3) {
        serial = argv[3];
        con_out("###serial:%s\n", serial);
    }
}

// Ctrl+C and a closing terminal must not break a write to the device half way: the run ignores
// SIGINT and SIGHUP. SIGQUIT (Ctrl+\) and SIGTERM still end it.
void ignore_interrupts() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGINT, &ignore, nullptr);
    sigaction(SIGHUP, &ignore, nullptr);
}

void print_help() {
    con_out(
        "usage: tessaro-installer [DOREBOOT [DOFAST [SERIAL]]]\n"
        "       tessaro-installer --help | --version\n"
        "\n"
        "Installs the firmware package in the current directory (config.bin and the image\n"
        "files) on an e-reader device through its USB bootloader.\n"
        "\n"
        "Arguments, all optional and positional:\n"
        "  DOREBOOT  a number; 0 leaves the device in its bootloader at the end of the run\n"
        "            instead of rebooting it (default 1). RQ3 devices are always rebooted.\n"
        "  DOFAST    a number; above 0 the menus take their automatic choice instead of\n"
        "            reading one (above 1, a package of both systems installs both with a\n"
        "            wipe); any nonzero value, negative ones too, makes the closing wait 1\n"
        "            second instead of 60 (default 0).\n"
        "  SERIAL    install only on the device with this serial number (default: the first\n"
        "            device found).\n"
        "Each given argument is echoed as a line (###doreboot:N, ###dofast:N, ###serial:S).\n"
        "\n"
        "Menus read one word per choice from standard input; its first character counts. When\n"
        "standard input ends at a menu, the menu takes 0 (Exit).\n"
        "\n"
        "Output: every line meant for a person or a wrapper program begins with \"###\" and goes\n"
        "to standard output, which is flushed at fixed points; errors and \"< waiting for\n"
        "device >\" go to standard error. Chinese texts are written as GBK, or as UTF-8 when the\n"
        "locale's codeset is UTF-8. A run ends with \"###All Done.\", except when the package\n"
        "does not match the device and when an RQ3 install completes.\n"
        "\n"
        "Environment:\n"
        "  TESSARO_DEVSIM_DIR  a directory of simulated devices (tessaro-devsim) to use instead\n"
        "                      of the host's USB devices. When set, only simulated devices\n"
        "                      are used, even before the directory exists.\n"
        "\n"
        "Loaders: a build carries either stand-ins for the device maker's loader images, which\n"
        "it writes only to simulated devices (a device on real USB that needs a new loader ends\n"
        "the run with an error), or the maker's images (configured with\n"
        "-DTESSARO_LOADER_DIR=DIR). --version says which.\n"
        "\n"
        "Signals: Ctrl+C (SIGINT) and a closing terminal (SIGHUP) are ignored during a run so\n"
        "that a write to the device is never broken off; Ctrl+\\ (SIGQUIT) and SIGTERM still\n"
        "stop it.\n"
        "\n"
        "Exit status: 0 for every run that ends normally, including a refused package and a\n"
        "failed install (\"Downloading Error!\"); 1 when the program stops on an internal "
        "fault.\n");
}

// Last act of every run except the two that end with lines of their own.
int closing_sequence() {
    if (dofast != 0) {
        sleep(1);
    } else {
        con_out(wipe == 1 ? txt::resetting : txt::restarting);
        con_flush();
        sleep(60);
    }
    con_out("\n###All Done.");
    con_flush();
    return 0;
}

int reboot_exit() {
    if (doreboot != 0) {
        sleep(1);
        reboot_step();
        percent(100);
        con_out(txt::done_rebooting);
        con_flush();
    }
    return closing_sequence();
}

// The failing step has printed its own error line; the device is left as it is.
int error_exit() {
    con_out("\nDownloading Error!\n");
    con_flush();
    return closing_sequence();
}

// How a road ends.
enum class RoadEnd {
    Installed,  // every file the plan meant to write was written and accepted by the device
    Left,       // the choice "0": the plan is to write nothing
    Failed,     // a step has printed its error line
};

RoadEnd rq3_install() {
    if (rq3_loader_stage() != 0) return RoadEnd::Failed;
    // a package name that is there but unusable stops the run before the package is classified
    if (check_package_names() != 0) return RoadEnd::Failed;

    con_out(kBanner);
    switch (rq3_menu(checkfirmware())) {
        case MenuOutcome::Done:
            return RoadEnd::Installed;
        case MenuOutcome::Exit:
            return RoadEnd::Left;
        case MenuOutcome::Failed:
            break;
    }
    return RoadEnd::Failed;
}

RoadEnd family_install() {
    sleep(1);
    query_step("systype");
    if (std::strncmp(retvalue, "dual", 4) == 0) {
        sys_type = 2;
    } else if (std::strncmp(retvalue, "tess", 4) == 0) {
        sys_type = 1;
    } else {
        sys_type = 0;
    }
    if (check_package_names() != 0) return RoadEnd::Failed;

    con_out(kBanner);
    con_out(txt::current_system);
    con_out(sys_type == 2 ? txt::name_dual : sys_type == 1 ? txt::name_second : txt::name_native);

    if (family_menu(checkfirmware()) == MenuOutcome::Exit) return RoadEnd::Left;

    if (loader_stage() != 0 || variant_switch_stage() != 0 || download_preamble() != 0 ||
        partition_stage() != 0 || package_plan() != 0) {
        return RoadEnd::Failed;
    }
    return RoadEnd::Installed;
}

// The RQ3 road's own ending: it reboots the device whatever doreboot says.
int rq3_installed() {
    reboot_step();
    percent(100);
    con_out(txt::done_line);
    con_out(txt::restarting);
    if (dofast == 0) sleep(60);
    con_flush();
    sleep(1);
    return 0;
}

// Where every road ends, and the rule of the run: "###完成！" and every other line that reports
// the install as done are printed only when every file the plan meant to write was written and
// accepted by the device (for the choice "0", the reboot exit's line: the plan was to write
// nothing). Every other end prints "Downloading Error!" after the failing step's error line.
int end_road(bool rq3, RoadEnd end) {
    switch (end) {
        case RoadEnd::Installed:
            return rq3 ? rq3_installed() : reboot_exit();
        case RoadEnd::Left:
            return reboot_exit();
        case RoadEnd::Failed:
            break;
    }
    return error_exit();
}

int rq3_road() {
    return end_road(true, rq3_install());
}

int family_road() {
    return end_road(false, family_install());
}

}  // namespace

int installer_main(int argc, char** argv) {
    console_init();
    if (argc > 1 && std::strcmp(argv[1], "--help") == 0) {
        print_help();
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        con_out("tessaro-installer %s\nloaders: %s\n", TESSARO_VERSION, payload_loader_kind());
        return 0;
    }

    read_arguments(argc, argv);
    ignore_interrupts();
    sleep(1);

    // the answer is not used: this exchange waits until the device is there
    query_step("product");
    query_step("serialno");
    std::memcpy(serialno, retvalue, sizeof serialno);

    if (checkmatch(serialno) == 0) {
        con_out(txt::not_match);
        con_out(txt::exit_line);
        con_flush();
        return 0;
    }
    return IS_RQ3() != 0 ? rq3_road() : family_road();
}
