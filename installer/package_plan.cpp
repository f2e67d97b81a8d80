// The download preamble and the package plan of the families other than RQ3: the file plan's
// rows for the chosen target (file_plan.h), each signed file checked on the host before it is
// sent and the kernels checked again on the device after they are written; then the system-type
// marker and, for a wiping plan, the recovery flag.
#include <cstdint>
#include <cstring>

#include "check/crc32.h"
#include "client/action_queue.h"
#include "console/console.h"
#include "installer/boardtype/model_table.h"
#include "installer/device.h"
#include "installer/file_plan.h"
#include "installer/flash_steps.h"
#include "installer/layout_stages.h"
#include "installer/package.h"
#include "installer/stages.h"
#include "installer/steps.h"
#include "installer/texts.h"

namespace {

// A row of the plan for this run's target: skipped (0) when the file (or, for a signed one, its
// signature) is missing or empty; otherwise checked against its signature, written and, for a
// kernel, checked on the device. -1 after the error line when any of that fails.
int write_plan_file(const InstallRun& run, const plan_file& row, const model_install& model) {
    if (run.sys_new < 0 || run.sys_new > 2) return 0;
    const char* part = row.partition[run.sys_new];
    if (part == nullptr) return 0;
    switch (row.when) {
        case plan_when::always:
            break;
        case plan_when::bios_model:
            if (!model.bios) return 0;
            break;
        case plan_when::data_changes:
            if (run.sys_new == 0 ? run.sys_type == 0 : run.sys_type == 2) return 0;
            break;
    }
    // the table names only constants, each ending in its zero
    const char* fn = row.file != nullptr ? row.file : model.data_file.data();
    uint64_t size = 0;
    if (test_file(fn, &size) == 0) return 0;
    if (row.sign != nullptr) {
        if (test_file(row.sign, nullptr) == 0) return 0;
        // nothing of a file that does not match its signature is sent
        if (crc32check(fn, row.sign) == 0) {
            con_err("\nerror: file checksum %s\n", fn);
            return -1;
        }
    }
    con_out("\nDownloading %s:%s\n", row.label, row.file != nullptr ? "" : fn);
    if (flash_file(part, fn, split) != 0) {
        con_err("\nerror: downloading %s\n", fn);
        return -1;
    }
    if (row.check == plan_check::none) return 0;
    const uint64_t base = row.check == plan_check::second_kernel && run.sys_new == 2
                              ? board_layout().vemkit_base_new
                              : kKernelBase;
    if (do_check(part, row.sign, base, size) != 0) {
        if (row.check_error_line) con_err("\nerror: kernel checksum %s\n", fn);
        return -1;
    }
    return 0;
}

// The marker and the flag decide what the device boots next: one it does not take leaves it
// booting a system the user did not choose, so the run must not report success.
int set_required(InstallRun& run, const char* var, const char* value) {
    if (set(run, var, value) != Exchange::answered) {
        con_err("\nerror: setting %s\n", var);
        return -1;
    }
    return 0;
}

}  // namespace

int download_preamble(InstallRun& run) {
    con_out(txt::banner);
    if (query(run, "verflag") == Exchange::lost) return -1;
    con_out("\n###Ver:%s, Downloading...", retvalue);
    con_flush();

    // the device must start its main system next; "main" with anything after it is not that
    if (query(run, "bootmode") == Exchange::lost) return -1;
    if (std::strcmp(retvalue, "main") != 0) {
        // the correction's answer is not looked at: the install goes on either way
        (void)set(run, "bootmode", "main");
        sleep_seconds(1);
    }

    if (run.sys_new == 2) {
        con_out(txt::downloading_dual);
    } else if (run.sys_new == 1) {
        con_out(txt::downloading_second);
    } else {
        con_out(txt::downloading_native);
    }
    return 0;
}

int package_plan(InstallRun& run) {
    const model_install& model = board_install();
    for (const plan_file& row : kFilePlan) {
        if (write_plan_file(run, row, model) != 0) return -1;
    }
    const char* marker = run.sys_new == 2 ? "dual" : run.sys_new == 1 ? "tess" : "sing";
    if (set_required(run, "systype", marker) != 0) return -1;
    if (run.wipe == 1 && set_required(run, "recvmode", "recvrecv") != 0) return -1;
    return 0;
}
