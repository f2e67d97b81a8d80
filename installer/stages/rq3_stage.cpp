// The RQ3 road's loader stage: the device's loader version is shown, and a loader older than the
// model's final one is replaced.
#include "installer/stages/rq3_stage.h"

#include "check/crc32.h"
#include "client/action_queue.h"
#include "console/console.h"
#include "console/device_text.h"
#include "installer/boardtype/model_table.h"
#include "installer/steps/loader_write.h"
#include "installer/steps/steps.h"
#include "payload/payload.h"

int rq3_loader_stage(InstallRun& run) {
    // the RQ3 road is the road of one model
    const payload_image& loader =
        *payload_find(row_install(board_row(board_kind::pagora8)).final_loader);
    forget_verflag(run);
    // the first answer since the start is always taken
    if (ask_verflag(run) == Verflag::lost) return -1;
    con_out("\n###Ver:%s\n", device_text(retvalue).c_str());
    con_flush();
    if (retvalue[0] != '\0' && version_cmp(retvalue, loader.ver) >= 0) return 0;
    // an empty answer is an old loader only when the device gives it again: a query refused once
    // says nothing of the loader
    if (retvalue[0] == '\0') {
        const Verflag again = ask_verflag(run);
        if (again == Verflag::lost) return -1;
        if (again == Verflag::unclear) {
            run.wipe = 0;
            return -1;
        }
    }

    // the image is checked against its CRC text before it goes out, like every other image
    if (crc32buffer(loader.bytes, loader.size, loader.crc) == 0) {
        con_err("\nerror: file checksum %s\n", "loader");
        run.wipe = 0;
        return -1;
    }
    const Tried tried = write_and_check(
        {.attempts = kAttempts, .retry_failed_write = true},
        [&] {
            switch (flash_loader(run.device, loader.bytes, loader.size, "bootloader")) {
                case loader_write::written:
                    return Write::done;
                case loader_write::refused:
                    return Write::stop;
                case loader_write::failed:
                    break;
            }
            con_err("\nerror: downloading %s\n", "bootloader");
            return Write::failed;
        },
        [] { return true; });  // the device checks what it boots itself
    if (tried == Tried::checked) return 0;
    if (tried == Tried::checks_failed) con_err("\nerror: loader checksum %s\n", "loader");
    run.wipe = 0;
    return -1;
}
