// The storage-variant switch of the VRX3 family and the partition-table step.
#include "installer/layout_stages.h"

#include <cstring>

#include "check/crc32.h"
#include "client/action_queue.h"
#include "console/console.h"
#include "installer/boardtype/boardtype.h"
#include "installer/boardtype/model_table.h"
#include "installer/device.h"
#include "installer/flash_steps.h"
#include "installer/flow.h"
#include "installer/package.h"
#include "installer/stages.h"
#include "payload/payload.h"

namespace {

// the main table always starts at the beginning of the device
constexpr uint32_t mbr_base = 0;

bool model_is(const char* serial, const char* code) {
    return std::strncmp(serial, code, 3) == 0;
}

// One partition table: its image checked here, written, then checked by the device where it
// lies. `what` names the table in the error lines.
int write_table(const unsigned char* image, uint32_t size, const char* crc, const char* part,
                uint32_t base, const char* what) {
    if (crc32buffer(image, size, crc) == 0) {
        con_err("\nerror: file checksum %s\n", what);
        return -1;
    }
    if (flash_buffer(image, size, part) != 0) {
        con_err("\nerror: downloading %s\n", what);
        return -1;
    }
    if (do_check_buf(part, crc, base, size) != 0) {
        con_err("\nerror: crc checking %s\n", what);
        return -1;
    }
    return 0;
}

// The partition-table images and the second system's area of each storage layout, by the board
// ids (the serial number's first three characters) that carry it. A board id that no row lists
// has the default layout.
struct layout_row {
    const char* ids[3];
    storage_layout layout;
};

}  // namespace

storage_layout layout_for(const char* serial) {
    // built at the first call: the images are another unit's constants
    static const layout_row layout_rows[] = {
        {{"02A", "027"},
         {mbr350_4g, mbr350_4g_size, mbr350_4g_crc, embr350_4g, embr350_4g_size, embr350_4g_crc,
          0x5FF00000, 0x60000000}},
        {{"02F", "02E"},
         {mbr350_2g, mbr350_2g_size, mbr350_2g_crc, embr350_2g, embr350_2g_size, embr350_2g_crc,
          0x35D00000, 0x35E00000}},
        {{"13G"},
         {mbr13g, mbr13g_size, mbr13g_crc, embr13g, embr13g_size, embr13g_crc, 0xE2300000,
          0xE2400000}},
        {{"07F", "078", "079"},
         {mbrtiva, mbrtiva_size, mbrtiva_crc, embrtiva, embrtiva_size, embrtiva_crc, 0x77B00000,
          0x77C00000}},
    };

    static const storage_layout default_layout{mbrdef,       mbrdef_size, mbrdef_crc, embrdef,
                                               embrdef_size, embrdef_crc, 0x66300000, 0x66400000};

    for (const layout_row& row : layout_rows) {
        for (const char* id : row.ids) {
            if (id != nullptr && model_is(serial, id)) return row.layout;
        }
    }
    return default_layout;
}

const char* variant_request() {
    if (IS_VRX3_4GB()) return test_file("ver32g.bin", nullptr) ? "13G" : nullptr;
    if (IS_VRX3_32GB()) return test_file("ver4g.bin", nullptr) ? "000" : nullptr;
    return nullptr;
}

int variant_switch_stage() {
    if (!IS_VRX3()) return 0;
    if (IS_VRX3_4GB()) {
        con_out("\n###4GB Version.");
    } else if (IS_VRX3_32GB()) {
        con_out("\n###32GB Version.");
    }
    con_flush();
    // the package's marker file asks for the other storage variant; the device's "respcb"
    // gives the board id it reports from the next start on
    const char* respcb = variant_request();
    if (respcb == nullptr) return 0;

    // a device that did not take the new board id, or the request to load it, would be rebooted
    // as the variant it was and given the other variant's tables
    if (set_step("respcb", respcb) != 0) {
        con_err("\nerror: setting %s\n", "respcb");
        return -1;
    }
    if (set_step("doload", "1") != 0) {
        con_err("\nerror: setting %s\n", "doload");
        return -1;
    }
    device_serial_may_change();
    if (reboot_and_reconnect(1) != 0) return -1;

    // the device is identified again: every later choice by model follows the new board id
    query_step("serialno");
    if (retvalue[0] == '\0') {
        // without it the partition tables would be chosen for a model the device may not be
        con_err("\nerror: no serial number after the storage-variant switch\n");
        return -1;
    }
    // the board must now be the variant asked for: one that came back as it was would be given
    // the other variant's tables
    const board_model& asked =
        board_row(std::strcmp(respcb, "13G") == 0 ? board_kind::vrx3_32gb : board_kind::vrx3_4gb);
    BOARD_TYPE_SET(retvalue, static_cast<int>(std::strlen(retvalue)));
    if (board_id_matches(asked) == 0) {
        con_err(
            "\nerror: the storage-variant switch did not take: the board id is %s, not one of "
            "the %s variant's (%s)\n",
            retvalue, asked.kind == board_kind::vrx3_32gb ? "32GB" : "4GB",
            board_codes(asked).c_str());
        BOARD_TYPE_SET(serialno, static_cast<int>(std::strlen(serialno)));
        return -1;
    }
    std::memcpy(serialno, retvalue, sizeof serialno);
    if (IS_VRX3_4GB()) {
        con_out("\n###4GB Version(Reset).");
    } else if (IS_VRX3_32GB()) {
        con_out("\n###32GB Version(Reset).");
    }
    con_flush();
    return 0;
}

int partition_stage() {
    const storage_layout layout = layout_for(serialno);

    // only an upgrade of a second-system-only device that keeps its data keeps its main table
    if (wipe != 0 || sys_new == 0 || sys_new == 2 || sys_type != sys_new) {
        if (write_table(layout.mbr, layout.size, layout.crc, "xzmbr", mbr_base, "mbr") != 0)
            return -1;
    }
    // the second system's area is laid out afresh when it is new, wiped, or the loader stage
    // asks for it
    if (resetxmbr == 1 || (sys_new == 2 && (wipe != 0 || sys_type != 2))) {
        if (write_table(layout.embr, layout.esize, layout.ecrc, "xembr", layout.embr_base,
                        "embr") != 0)
            return -1;
    }
    sleep_seconds(1);
    return 0;
}
