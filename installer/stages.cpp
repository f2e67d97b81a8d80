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

namespace {

// The device's first "verflag" answer since it last started. Between two starts it runs one
// loader, so every answer must be the same: one that differs (a refused query beside answered
// ones) leaves the loader's version unknown, and every choice made from it would be a guess.
struct verflag_answers {
    bool asked = false;
    char first[sizeof retvalue] = {};
};
verflag_answers since_start;

}  // namespace

void forget_verflag() {
    since_start = {};
}

void config_block_written() {
    // a loader too old to report a version may report one once its block is written; one that
    // has reported a version keeps it, and an empty answer from it is still no version
    if (since_start.first[0] == '\0') since_start = {};
}

bool ask_verflag() {
    query_step("verflag");
    if (!since_start.asked) {
        since_start.asked = true;
        std::memcpy(since_start.first, retvalue, sizeof retvalue);
        return true;
    }
    if (std::strcmp(since_start.first, retvalue) == 0) return true;
    con_err("\nerror: loader version unclear (verflag \"%s\", then \"%s\")\n", since_start.first,
            retvalue);
    return false;
}

int version_cmp(const char* reply, const char* ref) {
    return std::strncmp(reply, ref, 3);
}

int rq3_loader_stage() {
    forget_verflag();
    ask_verflag();
    con_out("\n###Ver:%s\n", retvalue);
    con_flush();
    if (retvalue[0] != '\0' && version_cmp(retvalue, loader_quessel_ver) >= 0) return 0;
    // an empty answer is an old loader only when the device gives it again: a query refused once
    // says nothing of the loader
    if (retvalue[0] == '\0' && !ask_verflag()) {
        wipe = 0;
        return -1;
    }

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
