// The RQ3 road's loader stage, the version comparison and the loader state shared by the stages
// of the other families (loader_stages.cpp, layout_stages.cpp, package_plan.cpp).
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
