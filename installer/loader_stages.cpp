// The loader stage of every family but RQ3: an old device loader is walked up its chain of staged
// images, each gated by the "verflag" window it can start from, then the platform's final loader
// is installed, with the boot configuration block written on the way.
#include <cstdint>
#include <cstring>

#include "check/crc32.h"
#include "client/action_queue.h"
#include "console/console.h"
#include "installer/device.h"
#include "installer/flash_steps.h"
#include "installer/flow.h"
#include "installer/loader_write.h"
#include "installer/stages.h"
#include "payload/payload.h"

namespace {

constexpr int kAttempts = 3;
constexpr char kBanner[] = "\n\n###########################################";

struct final_loader {
    const unsigned char* bytes;
    uint32_t size;
    const char* crc;
    const char* ver;
};

bool model_is(const char* code) {
    return std::strncmp(serialno, code, 3) == 0;
}

// the Tiva platform's models run loader_tiva, every other model loader_belto
final_loader choose_loader() {
    if (model_is("07F") || model_is("078") || model_is("079"))
        return {loader_tiva, loader_tiva_size, loader_tiva_crc, loader_tiva_ver};
    return {loader_belto, loader_belto_size, loader_belto_crc, loader_belto_ver};
}

bool below(const char* reply, const char* ref) {
    return version_cmp(reply, ref) < 0;
}

// The device reboots and comes back running whatever loader it now holds.
int restart_device(int seconds) {
    if (reboot_and_reconnect(seconds) != 0) return -1;
    forget_verflag();
    return 0;
}

// One loader write, not retried: true when the device took it. A refused stand-in has printed
// its own line; a failed write prints "downloading" with `error_name`.
bool write_loader(const unsigned char* image, uint32_t size, const char* partition,
                  const char* error_name) {
    switch (flash_loader(image, size, partition)) {
        case loader_write::refused:
            return false;
        case loader_write::failed:
            con_err("\nerror: downloading %s\n", error_name);
            return false;
        case loader_write::written:
            break;
    }
    return true;
}

bool image_intact(const unsigned char* image, uint32_t size, const char* crc, const char* name) {
    if (crc32buffer(image, size, crc) != 0) return true;
    con_err("\nerror: file checksum %s\n", name);
    return false;
}

// The first loader of the chain goes where the device boots from: the diagnostics copy when the
// device runs in "diags" mode, asked afresh before every attempt.
int stage_porter() {
    if (!image_intact(porter, porter_size, porter_crc, "porter")) return -1;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        query_step("bootmode");
        const bool diags = std::strncmp(retvalue, "diags", 5) == 0;
        const char* partition = diags ? "xloader0_belto" : "xloader_belto";
        const uint64_t address = diags ? 0xE41000 : 0x41000;
        if (!write_loader(porter, porter_size, partition, partition)) return -1;
        if (do_check_buf(partition, porter_crc, address, porter_size) == 0) return 0;
    }
    con_err("\nerror: loader checksum %s\n", "porter");
    return -1;
}

struct staged_loader {
    const char* name;
    const char* write_error_name;  // the name the downloading error shows
    const unsigned char* bytes;
    uint32_t size;
    const char* crc;
};

// porter1 to porter3 all go to "xzprod", checked from its start.
int stage_staged(const staged_loader& s) {
    if (!image_intact(s.bytes, s.size, s.crc, s.name)) return -1;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (!write_loader(s.bytes, s.size, "xzprod", s.write_error_name)) return -1;
        if (do_check_buf("xzprod", s.crc, 0, s.size) == 0) return 0;
    }
    con_err("\nerror: loader checksum %s\n", s.name);
    return -1;
}

// One window of the chain: a reply below `refuse_below` cannot start from here; one that is up
// to `install_upto` (or below it, for the last staged loader) gets the stage's image.
struct chain_stage {
    const char* refuse_below;  // null: no lower bound
    const char* install_upto;  // null: nothing to install
    bool upto_inclusive;
    int (*install)();
};

int install_porter() {
    if (stage_porter() != 0) return -1;
    return restart_device(3);
}

int install_porter1() {
    if (stage_staged({"porter1", "porter1", porter1, porter1_size, porter1_crc}) != 0) return -1;
    return restart_device(3);
}

int install_porter2() {
    if (stage_staged({"porter2", "porter2", porter2, porter2_size, porter2_crc}) != 0) return -1;
    return restart_device(3);
}

// The last staged loader reads its boot configuration from the user partition's new place.
int install_porter3() {
    if (stage_staged({"porter3", "porter3p", porter3, porter3_size, porter3_crc}) != 0) return -1;
    if (reset_config(sys_type, 0x1941000, "xzuserpartition", 1) != 0) return -1;
    return restart_device(1);
}

constexpr chain_stage kChain[] = {
    {nullptr, "8.1", true, install_porter},  // the oldest loaders
    {"8.9", "9.5", true, install_porter1},   // porter's generation
    {"9.9", "A.5", true, install_porter2},   // porter1's
    {"A.9", "Y00", false, install_porter3},  // porter2's
    {"Y00", nullptr, false, nullptr},        // porter3's and later: the final loader's turn
};

// Walks the chain from the reply of the first "verflag" query; every later stage asks again,
// since the device now runs what the stage before it installed.
int loader_chain() {
    bool first = true;
    for (const chain_stage& stage : kChain) {
        if (!first && !ask_verflag()) return -1;
        first = false;
        if (stage.refuse_below != nullptr && below(retvalue, stage.refuse_below)) {
            con_err("###verflag:%s\n", retvalue);
            return -1;
        }
        if (stage.install_upto == nullptr) continue;
        const int cmp = version_cmp(retvalue, stage.install_upto);
        if ((cmp < 0 || (stage.upto_inclusive && cmp == 0)) && stage.install() != 0) return -1;
    }
    return 0;
}

// The final loader: written when the device's loader is older than it, then checked by asking
// the rebooted device for its version.
int install_final_loader(const final_loader& loader) {
    if (!ask_verflag()) return -1;
    verflaglen = static_cast<int>(std::strlen(retvalue));
    resetxmbr = 0;
    if (below(retvalue, loader.ver)) {
        if (!image_intact(loader.bytes, loader.size, loader.crc, "loader")) return -1;
        if (below(retvalue, "Z00")) {
            // a loader from before the Z generation: the boot configuration block goes in first,
            // where this loader reads it; a loader too old to report a version has no "xz" names
            // and no check
            const bool old = verflaglen == 0;
            if (reset_config(sys_type, 0x61000, old ? "userpartition" : "xzuserpartition",
                             old ? 0 : 1) != 0)
                return -1;
            resetxmbr = sys_new == 2 ? 1 : 0;
            sleep_seconds(1);
        } else if (set_step("doload", "1") != 0) {
            // a loader that did not take the request would not load the new one it is sent
            con_err("\nerror: setting %s\n", "doload");
            return -1;
        }

        if (!ask_verflag()) return -1;
        verflaglen = static_cast<int>(std::strlen(retvalue));
        const char* partition = model_is("13G") && verflaglen > 0 && below(retvalue, "Z00")
                                    ? "xzbadprod"
                                : verflaglen == 0 ? "prod"
                                                  : "xzprod";
        const bool checked = std::strcmp(partition, "prod") != 0;
        bool done = false;
        for (int attempt = 0; attempt < kAttempts && !done; ++attempt) {
            if (!write_loader(loader.bytes, loader.size, partition, partition)) return -1;
            done = !checked || do_check_buf(partition, loader.crc, 0, loader.size) == 0;
        }
        if (!done) {
            con_err("\nerror: loader checksum %s\n", "loader");
            return -1;
        }
        if (restart_device(1) != 0) return -1;
    }

    // the device must now run the final loader or a later one: a loader of the same generation
    // but older (Z03 against Z07) has not been upgraded
    query_step("verflag");
    if (!below(retvalue, loader.ver)) return 0;
    con_err("\nerror: the device's loader reports \"%s\", older than the final loader's %s\n",
            retvalue, loader.ver);
    return -1;
}

}  // namespace

int loader_stage() {
    const final_loader loader = choose_loader();

    forget_verflag();
    if (!ask_verflag()) return -1;
    verflaglen = static_cast<int>(std::strlen(retvalue));
    con_out(kBanner);
    con_out("\n###Ver:%s\n", retvalue);
    con_flush();

    // every loader of the chain is older than the final one: a device whose loader is current
    // gets none, any other gets at least one, and a build that may not write them to this device
    // says so before anything of the run is written
    if (below(retvalue, loader.ver) && !loaders_allowed()) return -1;

    // these models' loaders are never walked through the chain; neither is one too old to
    // report a version
    if (model_is("13G") || model_is("07F") || model_is("078") || model_is("079")) {
        con_out("###");
    } else if (verflaglen != 0) {
        if (loader_chain() != 0) return -1;
    }
    return install_final_loader(loader);
}
