// The run from start to end: start-up arguments, identification, the road of the RQ3 family and
// the road of the other families, and the one place where every road ends (the reboot exit, the
// error exit, the closing sequence and the trace's last line).
#include "installer/flow/flow.h"

#include <cstring>
#include <string>
#include <vector>

#include "client/action_queue.h"
#include "console/console.h"
#include "installer/boardtype/boardtype.h"
#include "installer/flow/arguments.h"
#include "installer/flow/dry_run.h"
#include "installer/stages/identify.h"
#include "installer/stages/layout_stages.h"
#include "installer/stages/loader_stages.h"
#include "installer/stages/menus.h"
#include "installer/stages/package_plan.h"
#include "installer/stages/rq3_stage.h"
#include "installer/steps/device.h"
#include "installer/steps/failure_cause.h"
#include "installer/steps/flash_steps.h"
#include "installer/steps/list_devices.h"
#include "installer/steps/package.h"
#include "installer/steps/refusal_help.h"
#include "installer/steps/report.h"
#include "installer/steps/run.h"
#include "installer/steps/signals.h"
#include "installer/steps/steps.h"
#include "installer/steps/texts.h"
#include "payload/payload.h"
#include "trace/trace.h"
#include "usb/usb.h"

#ifndef TESSARO_VERSION
#define TESSARO_VERSION "unknown"
#endif

namespace {

// How a road ends.
enum class RoadEnd {
    Installed,  // every file the plan meant to write was written and accepted by the device
    Left,       // the choice "0": the plan is to write nothing
    Failed,     // a step has printed its error line
    Refused,    // the package is not for this device (identification only)
};

enum class Road { identification, rq3, family };

void read_arguments(InstallRun& run, int argc, char** argv) {
    if (argc > 1) {
        run.doreboot = number_argument(argv[1]);
        con_out("###doreboot:%d\n", run.doreboot);
    }
    if (argc > 2) {
        run.dofast = number_argument(argv[2]);
        con_out("###dofast:%d\n", run.dofast);
    }
    if (argc > 3) {
        serial = argv[3];
        con_out("###serial:%s\n", serial);
    }
}

// The run's last line in the trace: how it ended and what the plan was.
void trace_end(const InstallRun& run, const char* outcome, const char* road) {
    trace::Event("end")
        .text("outcome", outcome)
        .text("road", road)
        .text("serialno", run.serialno)
        .number("doreboot", run.doreboot)
        .number("dofast", run.dofast)
        .number("sys_type", run.sys_type)
        .number("sys_new", run.sys_new)
        .flag("wipe", run.wipe != 0);
}

// Last act of every run except the two that end with lines of their own.
int closing_sequence(const InstallRun& run) {
    release_interrupts();  // nothing is sent from here on
    if (run.dofast != 0) {
        sleep_seconds(1);
    } else {
        con_out(run.wipe == 1 ? txt::resetting : txt::restarting);
        con_flush();
        sleep_seconds(60);
    }
    con_out("\n###All Done.");
    con_flush();
    return 0;
}

// The failing step has printed its own error line; the device is left as it is.
int error_exit(const InstallRun& run) {
    con_out("\nDownloading Error!\n");
    con_flush();
    advise_failure(run);
    return closing_sequence(run);
}

int reboot_exit(InstallRun& run) {
    if (run.doreboot != 0) {
        sleep_seconds(1);
        if (!reboot_taken(run)) {
            run.closing_reboot_failed = true;
            return error_exit(run);
        }
        percent(100);
        con_out(txt::done_rebooting);
        con_flush();
    }
    return closing_sequence(run);
}

// The RQ3 road's own ending: it reboots the device whatever doreboot says.
int rq3_installed(InstallRun& run) {
    if (!reboot_taken(run)) {
        run.closing_reboot_failed = true;
        return error_exit(run);
    }
    percent(100);
    con_out(txt::done_line);
    con_out(txt::restarting);
    release_interrupts();  // nothing is sent from here on
    if (run.dofast == 0) sleep_seconds(60);
    con_flush();
    sleep_seconds(1);
    return 0;
}

int refused_package(const InstallRun& run) {
    con_out(txt::not_match);
    con_out(txt::exit_line);
    con_flush();
    explain_refusal(run);
    return 0;
}

// Where every road ends, and the rule of the run: "###完成！" and every other line that reports
// the install as done are printed only when every file the plan meant to write was written and
// accepted by the device (for the choice "0", the reboot exit's line: the plan was to write
// nothing). Every other end prints "Downloading Error!" after the failing step's error line.
int end_road(InstallRun& run, Road road, RoadEnd end) {
    int status = 0;
    const char* outcome = "error exit";
    switch (end) {
        case RoadEnd::Installed:
            status = road == Road::rq3 ? rq3_installed(run) : reboot_exit(run);
            outcome = "success";
            break;
        case RoadEnd::Left:
            status = reboot_exit(run);
            outcome = "left without installing";
            break;
        case RoadEnd::Failed:
            status = error_exit(run);
            break;
        case RoadEnd::Refused:
            status = refused_package(run);
            outcome = "refused package";
            break;
    }
    if (run.closing_reboot_failed) outcome = "error exit";
    // a device that stopped answering ends the run where it was found, traced as lost while
    // it was being identified
    const char* name = road == Road::rq3      ? "rq3"
                       : road == Road::family ? "family"
                                              : "identification";
    if (run.lost_at_query) name = "identification";
    trace_end(run, outcome, name);
    return status;
}

RoadEnd rq3_install(InstallRun& run) {
    if (rq3_loader_stage(run) != 0) return RoadEnd::Failed;
    // a package name that is there but unusable stops the run before the package is classified
    if (check_package_names() != 0) return RoadEnd::Failed;

    con_out(txt::banner);
    switch (rq3_menu(run, checkfirmware())) {
        case MenuOutcome::Done:
            return RoadEnd::Installed;
        case MenuOutcome::Exit:
            return RoadEnd::Left;
        case MenuOutcome::Failed:
            break;
    }
    return RoadEnd::Failed;
}

RoadEnd family_install(InstallRun& run) {
    sleep_seconds(1);
    if (query(run, "systype") == Exchange::lost) return RoadEnd::Failed;
    if (std::strncmp(retvalue, "dual", 4) == 0) {
        run.sys_type = 2;
    } else if (std::strncmp(retvalue, "tess", 4) == 0) {
        run.sys_type = 1;
    } else {
        run.sys_type = 0;
    }
    run.sys_type_read = true;
    if (check_package_names() != 0) return RoadEnd::Failed;
    name_unsigned_images();

    con_out(txt::banner);
    con_out(txt::current_system);
    con_out(run.sys_type == 2   ? txt::name_dual
            : run.sys_type == 1 ? txt::name_second
                                : txt::name_native);

    if (family_menu(run, checkfirmware()) == MenuOutcome::Exit) return RoadEnd::Left;
    if (plan_writes_files(run) != 0) return RoadEnd::Failed;

    if (loader_stage(run) != 0 || variant_switch_stage(run) != 0 || download_preamble(run) != 0 ||
        partition_stage(run) != 0 || package_plan(run) != 0) {
        return RoadEnd::Failed;
    }
    return RoadEnd::Installed;
}

// Start-up and identification, then the road of the device's family.
int run_installer(InstallRun& run, int argc, char** argv) {
    start_signal_policy();
    follow_first_device(run.device, true);
    read_arguments(run, argc, argv);
    trace::Event("start")
        .text("version", TESSARO_VERSION)
        .text("loaders", payload_loader_kind())
        .texts("args", std::vector<std::string>(argv + 1, argv + argc));
    sleep_seconds(1);

    // the answer is not used: this exchange waits until the device is there
    if (query(run, "product") == Exchange::lost || query(run, "serialno") == Exchange::lost) {
        return end_road(run, Road::identification, RoadEnd::Failed);
    }
    std::memcpy(run.serialno, retvalue, sizeof run.serialno);

    if (checkmatch(run.serialno) == 0) {
        return end_road(run, Road::identification, RoadEnd::Refused);
    }
    if (IS_RQ3() != 0) return end_road(run, Road::rq3, rq3_install(run));
    return end_road(run, Road::family, family_install(run));
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
        case StartRequest::DryRun:
            return dry_run(argc, argv, run_installer);
        case StartRequest::Run:
            break;
    }
    InstallRun run;
    report_start(run, argc, argv);
    const int status = run_installer(run, argc, argv);
    report_end();  // while the run it reads is still there
    return status;
}
