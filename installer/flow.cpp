// The run from start to end: start-up arguments, identification, the road of the RQ3 family and
// the road of the other families, the reboot exit, the error exit and the closing sequence.
#include "installer/flow.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "client/action_queue.h"
#include "console/console.h"
#include "installer/boardtype/boardtype.h"
#include "installer/device.h"
#include "installer/flash_steps.h"
#include "installer/identify.h"
#include "installer/list_devices.h"
#include "installer/menus.h"
#include "installer/package.h"
#include "installer/stages.h"
#include "installer/startup.h"
#include "installer/texts.h"
#include "payload/payload.h"
#include "trace/trace.h"
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

// The run's last line in the trace: how it ended and what the plan was.
void trace_end(const char* outcome, const char* road) {
    trace::Event("end")
        .text("outcome", outcome)
        .text("road", road)
        .text("serialno", serialno)
        .number("doreboot", doreboot)
        .number("dofast", dofast)
        .number("sys_type", sys_type)
        .number("sys_new", sys_new)
        .flag("wipe", wipe != 0);
}

constexpr char kBanner[] = "\n\n###########################################";

int error_exit();

}  // namespace

// A device that refuses a query answers it: the reply is empty and the caller decides what that
// means. A link that fails is no answer at all, and any meaning given to the empty reply (a
// native system, an old loader) would be a guess: the run stops there.
void query_step(const char* var) {
    std::memset(retvalue, 0, sizeof retvalue);
    fb_queue_display(var, var);
    if (run_queue() != 0 && last_exchange_lost_link()) {
        con_err("\nerror: device stopped answering (getvar:%s)\n", var);
        const int status = error_exit();
        trace_end("error exit", "identification");
        std::exit(status);
    }
}

int set_step(const char* var, const char* value) {
    fb_queue_set(var, value, var);
    return run_queue();
}

namespace {

// The reboot's answer, which the queue itself lets pass: 0 for OKAY, else the transport's words.
int reboot_status = 0;
char reboot_error[128];

int cb_reboot(Action* a, int status, const char* resp) {
    reboot_status = status;
    std::snprintf(reboot_error, sizeof reboot_error, "%s", resp);
    return cb_do_nothing(a, status, resp);
}

}  // namespace

int reboot_step() {
    fb_queue_reboot();
    action_last->func = cb_reboot;
    reboot_status = 0;
    run_queue();
    return reboot_status;
}

namespace {

// A device that refused the reboot, or was lost before it answered, cannot be taken to have
// started what was written, and the run must not say it has.
bool reboot_taken() {
    if (reboot_step() == 0) return true;
    con_err("\nerror: the device did not take the reboot (%s)\n", reboot_error);
    return false;
}

// Set when the run's closing reboot was not taken: the run ends through the error exit.
bool closing_reboot_failed = false;

}  // namespace

int reboot_and_reconnect(int seconds) {
    if (!reboot_taken()) return -1;
    close_device();
    sleep_seconds(seconds);
    fb_queue_display("product", "product");
    run_queue();
    return 0;
}

namespace {

void read_arguments(int argc, char** argv) {
    if (argc > 1) {
        doreboot = number_argument(argv[1]);
        con_out("###doreboot:%d\n", doreboot);
    }
    if (argc > 2) {
        dofast = number_argument(argv[2]);
        con_out("###dofast:%d\n", dofast);
    }
    if (argc > 3) {
        serial = argv[3];
        con_out("###serial:%s\n", serial);
    }
}

void print_help() {
    con_out(
        "usage: tessaro-installer [DOREBOOT [DOFAST [SERIAL]]]\n"
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
        "  SERIAL    install only on the device with this serial number (default: the first\n"
        "            device found).\n"
        "A whole number is an optional sign and decimal digits (numbers beyond the range of\n"
        "int are held at its ends); anything else for DOREBOOT or DOFAST is a usage error and\n"
        "nothing is sent. Each given argument is echoed as a line (###doreboot:N, ###dofast:N,\n"
        "###serial:S).\n"
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
        "Environment:\n"
        "  TESSARO_TRACE       a file to append the run's trace to, one JSON object per line:\n"
        "                      every command and answer, data phase, USB error, wait for the\n"
        "                      device and the run's end with its outcome and plan. The output\n"
        "                      is the same with or without it. Attach it to a bug report.\n"
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
        "for its device and before the first command is sent, and again in the closing wait.\n"
        "In between both are ignored, so that a write to the device is never broken off;\n"
        "Ctrl+\\ (SIGQUIT) and SIGTERM still stop it.\n"
        "\n"
        "Exit status:\n"
        "  0  every run that ends normally, a refused package (\"Device Not Match\") and a\n"
        "     failed install (\"Downloading Error!\") included\n"
        "  1  the program stopped on an internal fault (\"error: ...\")\n"
        "  2  DOREBOOT or DOFAST is not a whole number (usage error)\n");
}

// Last act of every run except the two that end with lines of their own.
int closing_sequence() {
    release_interrupts();  // nothing is sent from here on
    if (dofast != 0) {
        sleep_seconds(1);
    } else {
        con_out(wipe == 1 ? txt::resetting : txt::restarting);
        con_flush();
        sleep_seconds(60);
    }
    con_out("\n###All Done.");
    con_flush();
    return 0;
}

int reboot_exit() {
    if (doreboot != 0) {
        sleep_seconds(1);
        if (!reboot_taken()) {
            closing_reboot_failed = true;
            return error_exit();
        }
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
    sleep_seconds(1);
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
    if (!reboot_taken()) {
        closing_reboot_failed = true;
        return error_exit();
    }
    percent(100);
    con_out(txt::done_line);
    con_out(txt::restarting);
    release_interrupts();  // nothing is sent from here on
    if (dofast == 0) sleep_seconds(60);
    con_flush();
    sleep_seconds(1);
    return 0;
}

// Where every road ends, and the rule of the run: "###完成！" and every other line that reports
// the install as done are printed only when every file the plan meant to write was written and
// accepted by the device (for the choice "0", the reboot exit's line: the plan was to write
// nothing). Every other end prints "Downloading Error!" after the failing step's error line.
int end_road(bool rq3, RoadEnd end) {
    int status = 0;
    const char* outcome = "error exit";
    switch (end) {
        case RoadEnd::Installed:
            status = rq3 ? rq3_installed() : reboot_exit();
            outcome = "success";
            break;
        case RoadEnd::Left:
            status = reboot_exit();
            outcome = "left without installing";
            break;
        case RoadEnd::Failed:
            status = error_exit();
            break;
    }
    if (closing_reboot_failed) outcome = "error exit";
    trace_end(outcome, rq3 ? "rq3" : "family");
    return status;
}

int rq3_road() {
    return end_road(true, rq3_install());
}

int family_road() {
    return end_road(false, family_install());
}

}  // namespace

int installer_main(int argc, char** argv) {
    open_standard_descriptors();
    console_init();
    switch (read_start_request(argc, argv)) {
        case StartRequest::Help:
            print_help();
            return 0;
        case StartRequest::Version:
            con_out("tessaro-installer %s\nloaders: %s\n", TESSARO_VERSION, payload_loader_kind());
            return 0;
        case StartRequest::List:
            return list_devices(ListFormat::Text);
        case StartRequest::ListJson:
            return list_devices(ListFormat::Json);
        case StartRequest::Usage:
            print_usage_error(argc, argv);
            return 2;
        case StartRequest::Run:
            break;
    }

    start_signal_policy();
    read_arguments(argc, argv);
    trace::Event("start")
        .text("version", TESSARO_VERSION)
        .text("loaders", payload_loader_kind())
        .texts("args", std::vector<std::string>(argv + 1, argv + argc));
    sleep_seconds(1);

    // the answer is not used: this exchange waits until the device is there
    query_step("product");
    query_step("serialno");
    std::memcpy(serialno, retvalue, sizeof serialno);

    if (checkmatch(serialno) == 0) {
        con_out(txt::not_match);
        con_out(txt::exit_line);
        con_flush();
        trace_end("refused package", "identification");
        return 0;
    }
    return IS_RQ3() != 0 ? rq3_road() : family_road();
}
