// The download preamble and the package plan of the families other than RQ3: the file plan's
// rows for the chosen target (file_plan.h), each signed file checked on the host before it is
// sent and the kernels checked again on the device after they are written; then the system-type
// marker and, for a wiping plan, the recovery flag.
#include "installer/stages/package_plan.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "check/crc32.h"
#include "client/action_queue.h"
#include "console/console.h"
#include "console/device_text.h"
#include "installer/boardtype/model_table.h"
#include "installer/stages/file_plan.h"
#include "installer/stages/layout_stages.h"
#include "installer/steps/device.h"
#include "installer/steps/failure_cause.h"
#include "installer/steps/flash_steps.h"
#include "installer/steps/package.h"
#include "installer/steps/steps.h"
#include "installer/steps/texts.h"
#include "trace/trace.h"

namespace {

// The package file a row of the plan writes for this run's target on a board of `model`; null
// when the row writes nothing then (another target, another model, the user data kept) or the
// file (or, for a signed one, its signature) is missing or empty. Its size through `size`.
const char* row_file(const InstallRun& run, const plan_file& row, const model_install& model,
                     uint64_t* size) {
    if (run.sys_new < 0 || run.sys_new > 2 || row.partition[run.sys_new] == nullptr) return nullptr;
    switch (row.when) {
        case plan_when::always:
            break;
        case plan_when::bios_model:
            if (!model.bios) return nullptr;
            break;
        case plan_when::data_changes:
            if (run.sys_new == 0 ? run.sys_type == 0 : run.sys_type == 2) return nullptr;
            break;
    }
    // the table names only constants, each ending in its zero
    const char* fn = row.file != nullptr ? row.file : model.data_file.data();
    if (test_file(fn, size) == 0) return nullptr;
    if (row.sign != nullptr && test_file(row.sign, nullptr) == 0) return nullptr;
    return fn;
}

// A row of the plan for this run's target, when it has a file: checked against its signature,
// written and, for a kernel, checked on the device. -1 after the error line when any of that
// fails.
int write_plan_file(InstallRun& run, const plan_file& row, const model_install& model) {
    uint64_t size = 0;
    const char* fn = row_file(run, row, model, &size);
    if (fn == nullptr) return 0;
    const char* part = row.partition[run.sys_new];
    if (row.sign != nullptr) {
        // nothing of a file that does not match its signature is sent
        if (crc32check(fn, row.sign) == 0) {
            con_err("\nerror: file checksum %s\n", fn);
            note_failure(FailureCause::package_damaged, fn);
            return -1;
        }
    }
    con_out("\nDownloading %s:%s\n", row.label, row.file != nullptr ? "" : fn);
    if (flash_file(run.device, part, fn, split) != 0) {
        con_err("\nerror: downloading %s\n", fn);
        note_failure(FailureCause::write_refused, fn);
        return -1;
    }
    if (row.check == plan_check::none) return 0;
    const uint64_t base = row.check == plan_check::second_kernel && run.sys_new == 2
                              ? board_layout().vemkit_base_new
                              : kKernelBase;
    if (do_check(run.device, part, row.sign, base, size) != 0) {
        if (row.check_error_line) con_err("\nerror: kernel checksum %s\n", fn);
        note_failure(FailureCause::package_damaged, fn);
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
    con_out("\n###Ver:%s, Downloading...", device_text(retvalue).c_str());
    con_flush();

    // the device must start its main system next; "main" with anything after it is not that
    if (query(run, "bootmode") == Exchange::lost) return -1;
    if (std::strcmp(retvalue, "main") != 0) {
        if (set_required(run, "bootmode", "main") != 0) return -1;
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

void name_unsigned_images() {
    const model_install model = board_install();
    // the systems' kernels first, then the boot firmware of the models that carry their own
    for (const bool bios_rows : {false, true}) {
        for (const plan_file& row : kFilePlan) {
            if (row.sign == nullptr || (row.when == plan_when::bios_model) != bios_rows) continue;
            if (bios_rows && !model.bios) continue;
            if (test_file(row.file, nullptr) != 0 && test_file(row.sign, nullptr) == 0) {
                con_err("\nwarning: %s will not be installed: %s is missing or empty\n", row.file,
                        row.sign);
            }
        }
    }
}

int plan_writes_files(const InstallRun& run) {
    // after a storage-variant switch the plan follows the new board id
    const model_install model = variant_request() != nullptr
                                    ? row_install(board_row(board_install().variant.becomes))
                                    : board_install();
    // the files and their bytes go to the trace: what the run is about to write, for a wrapper's
    // estimate
    std::vector<std::string> files;
    uint64_t bytes = 0;
    for (const plan_file& row : kFilePlan) {
        uint64_t size = 0;
        if (const char* fn = row_file(run, row, model, &size); fn != nullptr) {
            files.emplace_back(fn);
            bytes += size;
        }
    }
    trace::Event("plan").texts("files", files).number("bytes", static_cast<int64_t>(bytes));
    if (!files.empty()) return 0;
    con_err("\nerror: the package holds none of the files this choice installs\n");
    return -1;
}

int package_plan(InstallRun& run) {
    const model_install model = board_install();
    for (const plan_file& row : kFilePlan) {
        if (write_plan_file(run, row, model) != 0) return -1;
    }
    const char* marker = run.sys_new == 2 ? "dual" : run.sys_new == 1 ? "tess" : "sing";
    if (set_required(run, "systype", marker) != 0) return -1;
    if (run.wipe == 1 && set_required(run, "recvmode", "recvrecv") != 0) return -1;
    return 0;
}
