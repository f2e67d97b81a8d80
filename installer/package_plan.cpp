// The download preamble and the package plan of the families other than RQ3: which package file
// goes to which partition for the chosen target, each signed file checked on the host before it
// is sent and the kernels checked again on the device after they are written; then the
// system-type marker and, for a wiping plan, the recovery flag.
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>

#include "check/crc32.h"
#include "client/action_queue.h"
#include "console/console.h"
#include "installer/boardtype/model_table.h"
#include "installer/device.h"
#include "installer/flash_steps.h"
#include "installer/flow.h"
#include "installer/layout_stages.h"
#include "installer/package.h"
#include "installer/stages.h"
#include "installer/texts.h"

namespace {

constexpr char kBanner[] = "\n\n###########################################";
// the native kernel partition starts here on every model
constexpr uint64_t kKernelBase = 0x141000;

// A plan that is only counted sends nothing: each step that would write a file adds one to
// `files`. `board` stands for the serial number the plan will be carried out under (the variant
// switch may change it before the files go out); null for the one read last.
struct counting_plan {
    bool on = false;
    int files = 0;
    const char* board = nullptr;
};
counting_plan counting;

// The model code is the first three characters of the serial number as read last (the variant
// switch may have changed it since start-up).
bool model_is(std::initializer_list<const char*> codes) {
    const char* board = counting.board != nullptr ? counting.board : serialno;
    for (const char* code : codes) {
        if (std::strncmp(board, code, 3) == 0) return true;
    }
    return false;
}

// only these models carry their own boot firmware in the package
bool has_bios() {
    return model_is({"07F", "078", "079"});
}

// the user data image is sized for the model's storage
const char* data_file() {
    if (model_is({"02E", "02F"})) return data2g_fn;
    if (model_is({"13G"})) return data32g_fn;
    return data_fn;
}

// "\nDownloading LABEL:DETAIL\n", the line before a file goes out
void progress(const char* label, const char* detail = "") {
    con_out("\nDownloading %s:%s\n", label, detail);
}

// A kernel is read back by the device: its CRC over the written range against the sign file.
struct device_check {
    uint64_t base;
    bool error_line;  // a failed check prints the plan's own line, not only the queue's
};

// A file with a signature file. Skipped (0) when either is missing or empty; otherwise checked
// against the signature, written and, for a kernel, checked on the device. -1 after the error
// line when any of that fails.
int signed_step(const char* fn, const char* sign, const char* part, const char* label,
                std::optional<device_check> check = std::nullopt) {
    uint64_t size = 0;
    if (test_file(fn, &size) == 0 || test_file(sign, nullptr) == 0) return 0;
    if (counting.on) {
        ++counting.files;
        return 0;
    }
    // nothing of a file that does not match its signature is sent
    if (crc32check(fn, sign) == 0) {
        con_err("\nerror: file checksum %s\n", fn);
        return -1;
    }
    progress(label);
    if (flash_file(part, fn, split) != 0) {
        con_err("\nerror: downloading %s\n", fn);
        return -1;
    }
    if (check && do_check(part, sign, check->base, size) != 0) {
        if (check->error_line) con_err("\nerror: kernel checksum %s\n", fn);
        return -1;
    }
    return 0;
}

// A file without a signature: skipped (0) when missing or empty, else written; -1 after the
// error line when the write fails.
int plain_step(const char* fn, const char* part, const char* label, const char* detail = "") {
    if (test_file(fn, nullptr) == 0) return 0;
    if (counting.on) {
        ++counting.files;
        return 0;
    }
    progress(label, detail);
    if (flash_file(part, fn, split) != 0) {
        con_err("\nerror: downloading %s\n", fn);
        return -1;
    }
    return 0;
}

// The marker and the flag decide what the device boots next: one it does not take leaves it
// booting a system the user did not choose, so the run must not report success.
int set_required(const char* var, const char* value) {
    if (set_step(var, value) != 0) {
        con_err("\nerror: setting %s\n", var);
        return -1;
    }
    return 0;
}

int native_files() {
    if (plain_step(system_fn, "xzsystem", "system") != 0) return -1;
    if (plain_step(var_fn, "xzvar", "var") != 0) return -1;
    if (signed_step(kernel_fn, kernel_sign, "xzkernel", "kernel",
                    device_check{kKernelBase, true}) != 0) {
        return -1;
    }
    // the user data is only replaced when the device comes from another system
    bool data = sys_new == 0 ? sys_type != 0 : sys_type != 2;
    if (!data) return 0;
    const char* fn = data_file();
    return plain_step(fn, sys_new == 0 ? "xzdata" : "xzvfat", "data", fn);
}

// Alone, the second system takes the partitions of the native one; beside it, its own.
int second_files() {
    const bool beside = sys_new == 2;
    if (plain_step("esystem.bin", beside ? "xesystem" : "xzsystem", "esystem") != 0) return -1;
    if (plain_step("edata.bin", beside ? "xedata" : "xzdata", "edata") != 0) return -1;
    // a failed check of this kernel is reported by the queue's line alone
    return signed_step(
        vemkit_fn, vemkit_sign, beside ? "xevemkit" : "xzkernel", "vemkit",
        device_check{beside ? layout_for(serialno).vemkit_base_new : kKernelBase, false});
}

// The package files of the plan, in the order they go out.
int plan_files() {
    if (has_bios()) {
        if (signed_step(bios_fn, bios_sign, "fbios", "bios") != 0) return -1;
        if (signed_step(sbios_fn, sbios_sign, "sbios", "sbios") != 0) return -1;
    }
    if ((sys_new == 0 || sys_new == 2) && native_files() != 0) return -1;
    if ((sys_new == 1 || sys_new == 2) && second_files() != 0) return -1;
    return 0;
}

// The files the plan writes when carried out on a board whose id begins with `board`.
int count_plan_files(const char* board) {
    counting = {true, 0, board};
    (void)plan_files();  // nothing is sent or checked while counting
    const int files = counting.files;
    counting = {};
    return files;
}

}  // namespace

int download_preamble() {
    con_out(kBanner);
    query_step("verflag");
    con_out("\n###Ver:%s, Downloading...", retvalue);
    con_flush();

    // the device must start its main system next; "main" with anything after it is not that
    query_step("bootmode");
    if (std::strcmp(retvalue, "main") != 0) {
        if (set_required("bootmode", "main") != 0) return -1;
        sleep_seconds(1);
    }

    if (sys_new == 2) {
        con_out(txt::downloading_dual);
    } else if (sys_new == 1) {
        con_out(txt::downloading_second);
    } else {
        con_out(txt::downloading_native);
    }
    return 0;
}

void name_unsigned_images() {
    struct signed_image {
        const char* fn;
        const char* sign;
        bool bios;  // installed only on the models that carry their own boot firmware
    };
    const signed_image images[] = {{kernel_fn, kernel_sign, false},
                                   {vemkit_fn, vemkit_sign, false},
                                   {bios_fn, bios_sign, true},
                                   {sbios_fn, sbios_sign, true}};
    for (const signed_image& image : images) {
        if (image.bios && !has_bios()) continue;
        if (test_file(image.fn, nullptr) != 0 && test_file(image.sign, nullptr) == 0) {
            con_err("\nwarning: %s will not be installed: %s is missing or empty\n", image.fn,
                    image.sign);
        }
    }
}

int plan_writes_files() {
    // after a storage-variant switch the plan follows the new board id
    std::string board;
    if (const char* respcb = variant_request(); respcb != nullptr) {
        const board_kind variant =
            std::strcmp(respcb, "13G") == 0 ? board_kind::vrx3_32gb : board_kind::vrx3_4gb;
        board = board_row(variant).prefixes.front();
    }
    if (count_plan_files(board.empty() ? nullptr : board.c_str()) > 0) return 0;
    con_err("\nerror: the package holds none of the files this choice installs\n");
    return -1;
}

int package_plan() {
    if (plan_files() != 0) return -1;

    const char* marker = sys_new == 2 ? "dual" : sys_new == 1 ? "tess" : "sing";
    if (set_required("systype", marker) != 0) return -1;
    if (wipe == 1 && set_required("recvmode", "recvrecv") != 0) return -1;
    return 0;
}
