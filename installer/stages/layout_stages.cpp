// The storage-variant switch of the VRX3 family and the partition-table stage.
#include "installer/stages/layout_stages.h"

#include <cstring>
#include <string>

#include "check/crc32.h"
#include "client/action_queue.h"
#include "console/console.h"
#include "console/device_text.h"
#include "installer/boardtype/boardtype.h"
#include "installer/boardtype/model_table.h"
#include "installer/steps/device.h"
#include "installer/steps/failure_cause.h"
#include "installer/steps/flash_steps.h"
#include "installer/steps/package.h"
#include "installer/steps/steps.h"

namespace {

// the main table always starts at the beginning of the device
constexpr uint32_t mbr_base = 0;

// One partition table: its image checked here, written, then checked by the device where it
// lies, once. `what` names the table in the error lines.
int write_table(InstallRun& run, const payload_image& image, const char* part, uint32_t base,
                const char* what) {
    if (crc32buffer(image.bytes, image.size, image.crc) == 0) {
        con_err("\nerror: file checksum %s\n", what);
        return -1;
    }
    const Tried tried = write_and_check(
        {.attempts = 1, .retry_failed_write = false},
        [&] {
            return flash_buffer(run.device, image.bytes, image.size, part) == 0 ? Write::done
                                                                                : Write::failed;
        },
        [&] { return do_check_buf(run.device, part, image.crc, base, image.size) == 0; });
    switch (tried) {
        case Tried::checked:
            return 0;
        case Tried::write_failed:
        case Tried::stopped:
            con_err("\nerror: downloading %s\n", what);
            note_failure(FailureCause::write_refused, what);
            return -1;
        case Tried::checks_failed:
            break;
    }
    con_err("\nerror: crc checking %s\n", what);
    note_failure(FailureCause::write_refused, what);
    return -1;
}

const payload_image& table_image(const char* prefix, std::string_view layout) {
    // the model table names only images the build carries (the table's test walks it)
    return *payload_find(std::string(prefix) + std::string(layout));
}

// "\n###4GB Version" and the like, when the board id is one of a pair of storage sizes
void print_variant(const char* after) {
    const storage_variant variant = board_install().variant;
    if (!variant.label.empty()) {
        const std::string label(variant.label);
        con_out("\n###%s Version%s.", label.c_str(), after);
    }
    con_flush();
}

}  // namespace

storage_layout board_layout() {
    const model_install install = board_install();
    return {&table_image("mbr", install.layout), &table_image("embr", install.layout),
            install.embr_base, install.embr_base + 0x100000};
}

const char* variant_request() {
    const storage_variant variant = board_install().variant;
    if (variant.label.empty()) return nullptr;
    // both fields name constants of the table, each ending in its zero
    return test_file(variant.marker.data(), nullptr) ? variant.switch_to.data() : nullptr;
}

int variant_switch_stage(InstallRun& run) {
    if (!IS_VRX3()) return 0;
    print_variant("");
    // the package's marker file asks for the other storage variant; the device's "respcb"
    // gives the board id it reports from the next start on
    const char* respcb = variant_request();
    if (respcb == nullptr) return 0;
    const board_model& asked = board_row(board_install().variant.becomes);

    // a device that did not take the new board id, or the request to load it, would be rebooted
    // as the variant it was and given the other variant's tables
    if (set(run, "respcb", respcb) != Exchange::answered) {
        con_err("\nerror: setting %s\n", "respcb");
        return -1;
    }
    if (set(run, "doload", "1") != Exchange::answered) {
        con_err("\nerror: setting %s\n", "doload");
        return -1;
    }
    device_serial_may_change(run.device, asked.prefixes);
    if (!reboot_and_reconnect(run, 1)) return -1;

    // the device is identified again: every later choice by model follows the new board id
    if (query(run, "serialno") == Exchange::lost) return -1;
    if (retvalue[0] == '\0') {
        // without it the partition tables would be chosen for a model the device may not be
        con_err("\nerror: no serial number after the storage-variant switch\n");
        return -1;
    }
    // the board must now be the variant asked for: one that came back as it was would be given
    // the other variant's tables
    BOARD_TYPE_SET(retvalue, static_cast<int>(std::strlen(retvalue)));
    if (board_id_matches(asked) == 0) {
        const std::string label(row_install(asked).variant.label);
        con_err(
            "\nerror: the storage-variant switch did not take: the board id is %s, not one of "
            "the %s variant's (%s)\n",
            device_text(retvalue).c_str(), label.c_str(), board_codes(asked).c_str());
        BOARD_TYPE_SET(run.serialno, static_cast<int>(std::strlen(run.serialno)));
        return -1;
    }
    std::memcpy(run.serialno, retvalue, sizeof run.serialno);
    print_variant("(Reset)");
    return 0;
}

int partition_stage(InstallRun& run) {
    const storage_layout layout = board_layout();

    // only an upgrade of a second-system-only device that keeps its data keeps its main table
    if (run.wipe != 0 || run.sys_new == 0 || run.sys_new == 2 || run.sys_type != run.sys_new) {
        if (write_table(run, *layout.mbr, "xzmbr", mbr_base, "mbr") != 0) return -1;
    }
    // the second system's area is laid out afresh when it is new, wiped, or the loader stage
    // asks for it
    if (run.resetxmbr == 1 || (run.sys_new == 2 && (run.wipe != 0 || run.sys_type != 2))) {
        if (write_table(run, *layout.embr, "xembr", layout.embr_base, "embr") != 0) return -1;
    }
    sleep_seconds(1);
    return 0;
}
