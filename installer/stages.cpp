// The stages that run inside the flow. The stages of the other families are not in this build
// yet: they say so and send the run to the error exit rather than go on with an install that
// would leave the device half done.
#include "installer/stages.h"

#include <cstring>

#include "check/crc32.h"
#include "client/action_queue.h"
#include "console/console.h"
#include "installer/flow.h"
#include "installer/loader_write.h"
#include "payload/payload.h"

namespace {

constexpr int kLoaderAttempts = 3;

}  // namespace

int verflaglen = 0;
int resetxmbr = 0;

int version_cmp(const char* reply, const char* ref) {
    return std::strncmp(reply, ref, 3);
}

int rq3_loader_stage() {
    query_step("verflag");
    con_out("\n###Ver:%s\n", retvalue);
    con_flush();
    if (retvalue[0] != '\0' && version_cmp(retvalue, loader_quessel_ver) >= 0) return 0;

    // the image is checked against its CRC text before it goes out, like every other image
    if (crc32buffer(loader_quessel, loader_quessel_size, loader_quessel_crc) == 0) {
        con_err("\nerror: file checksum %s\n", "loader");
        wipe = 0;
        return -1;
    }
    for (int attempt = 0; attempt < kLoaderAttempts; ++attempt) {
        switch (flash_loader(loader_quessel, loader_quessel_size, "bootloader")) {
            case loader_write::written:
                return 0;
            case loader_write::refused:
                wipe = 0;
                return -1;
            case loader_write::failed:
                con_err("\nerror: downloading %s\n", "bootloader");
                break;
        }
    }
    con_err("\nerror: loader checksum %s\n", "loader");
    wipe = 0;
    return -1;
}

int variant_switch_stage() {
    con_err("\nerror: storage-variant switch is not in this build\n");
    return -1;
}

int download_preamble() {
    con_err("\nerror: download preamble is not in this build\n");
    return -1;
}

int partition_stage() {
    con_err("\nerror: partition stage is not in this build\n");
    return -1;
}

int package_plan() {
    con_err("\nerror: package plan is not in this build\n");
    return -1;
}
