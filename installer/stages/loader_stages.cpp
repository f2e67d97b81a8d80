// The loader stage of every family but RQ3: an old device loader is walked up its chain of staged
// images (the table of loader_chain.h), then the model's final loader is installed, with the boot
// configuration block written on the way.
#include "installer/stages/loader_stages.h"

#include <cstring>

#include "check/crc32.h"
#include "client/action_queue.h"
#include "console/console.h"
#include "console/device_text.h"
#include "installer/boardtype/model_table.h"
#include "installer/stages/loader_chain.h"
#include "installer/steps/chain_progress.h"
#include "installer/steps/config_block.h"
#include "installer/steps/device.h"
#include "installer/steps/failure_cause.h"
#include "installer/steps/flash_steps.h"
#include "installer/steps/loader_write.h"
#include "installer/steps/steps.h"
#include "installer/steps/texts.h"
#include "payload/payload.h"

namespace {

bool below(const char* reply, const char* ref) {
    return version_cmp(reply, ref) < 0;
}

// The device reboots and comes back running whatever loader it now holds.
int restart_device(InstallRun& run, int seconds) {
    if (!reboot_and_reconnect(run, seconds)) return -1;
    forget_verflag(run);
    return 0;
}

bool image_intact(const payload_image& image, const char* name) {
    if (crc32buffer(image.bytes, image.size, image.crc) != 0) return true;
    con_err("\nerror: file checksum %s\n", name);
    return false;
}

// One loader write, not retried on failure: a refused stand-in has printed its own line; a
// failed write prints "downloading" with `error_name`.
Write write_loader(RunDevice& device, const payload_image& image, const char* partition,
                   const char* error_name) {
    switch (flash_loader(device, image.bytes, image.size, partition)) {
        case loader_write::refused:
            return Write::stop;
        case loader_write::failed:
            con_err("\nerror: downloading %s\n", error_name);
            note_failure(FailureCause::write_refused, error_name);
            return Write::stop;
        case loader_write::written:
            break;
    }
    return Write::done;
}

// The stage's image, written and checked up to 3 times. A stage with a diagnostics place (the
// first loader of the chain, which goes where the device boots from) asks "bootmode" afresh
// before every attempt.
int install_staged(InstallRun& run, const chain_stage& stage) {
    const payload_image& image = *payload_find(stage.image);
    if (!image_intact(image, stage.image)) return -1;
    chain_note(run, stage.image, false, ChainPhase::writing, image.size, stage.restart_seconds);
    chain_target target = stage.target;
    const Tried tried = write_and_check(
        {.attempts = kAttempts, .retry_failed_write = false},
        [&] {
            if (stage.diags.partition != nullptr) {
                if (query(run, "bootmode") == Exchange::lost) return Write::stop;
                const bool diags = std::strncmp(retvalue, "diags", 5) == 0;
                target = diags ? stage.diags : stage.target;
            }
            return write_loader(run.device, image, target.partition,
                                stage.error_name != nullptr ? stage.error_name : target.partition);
        },
        [&] {
            return do_check_buf(run.device, target.partition, image.crc, target.address,
                                image.size) == 0;
        });
    if (tried == Tried::checks_failed) con_err("\nerror: loader checksum %s\n", stage.image);
    if (tried != Tried::checked) return -1;
    if (stage.config_block &&
        reset_config(run, run.sys_type, 0x1941000, "xzuserpartition", 1) != 0) {
        return -1;
    }
    chain_note(run, stage.image, false, ChainPhase::restarting, image.size, stage.restart_seconds);
    return restart_device(run, stage.restart_seconds);
}

// The staged images a device at `reply` is walked through: each one installed moves it to the
// next one's window.
int stages_from(const char* reply) {
    int count = 0;
    for (const chain_stage& stage : kChain) {
        if (stage.install_upto == nullptr) break;
        const int cmp = version_cmp(reply, stage.install_upto);
        if (count > 0 || cmp < 0 || (stage.upto_inclusive && cmp == 0)) ++count;
    }
    return count;
}

// Walks the chain from the reply of the first "verflag" query; every later stage asks again,
// since the device now runs what the stage before it installed.
int loader_chain(InstallRun& run) {
    chain_planned(run, stages_from(retvalue));
    bool first = true;
    for (const chain_stage& stage : kChain) {
        if (!first && ask_verflag(run) != Verflag::known) return -1;
        first = false;
        if (stage.refuse_below != nullptr && below(retvalue, stage.refuse_below)) {
            con_err("###verflag:%s\n", device_text(retvalue).c_str());
            note_failure(FailureCause::loader_chain, device_text(retvalue));
            return -1;
        }
        if (stage.install_upto == nullptr) continue;
        const int cmp = version_cmp(retvalue, stage.install_upto);
        if ((cmp < 0 || (stage.upto_inclusive && cmp == 0)) && install_staged(run, stage) != 0)
            return -1;
    }
    return 0;
}

int ask_verflag_length(InstallRun& run) {
    if (ask_verflag(run) != Verflag::known) return -1;
    run.verflaglen = static_cast<int>(std::strlen(retvalue));
    return 0;
}

// The final loader: written when the device's loader is older than it, then checked by asking
// the rebooted device for its version.
int install_final_loader(InstallRun& run, const model_install& model) {
    const payload_image& loader = *payload_find(model.final_loader);
    if (ask_verflag_length(run) != 0) return -1;
    run.resetxmbr = 0;
    if (below(retvalue, loader.ver)) {
        if (!image_intact(loader, "loader")) return -1;
        if (below(retvalue, "Z00")) {
            // a loader from before the Z generation: the boot configuration block goes in first,
            // where this loader reads it; a loader too old to report a version has no "xz" names
            // and no check
            const bool old = run.verflaglen == 0;
            if (reset_config(run, run.sys_type, 0x61000, old ? "userpartition" : "xzuserpartition",
                             old ? 0 : 1) != 0)
                return -1;
            run.resetxmbr = run.sys_new == 2 ? 1 : 0;
            sleep_seconds(1);
        } else if (set(run, "doload", "1") != Exchange::answered) {
            // a loader that did not take the request would not load the new one it is sent
            con_err("\nerror: setting %s\n", "doload");
            return -1;
        }

        if (ask_verflag_length(run) != 0) return -1;
        const char* partition = model.bad_prod && run.verflaglen > 0 && below(retvalue, "Z00")
                                    ? "xzbadprod"
                                : run.verflaglen == 0 ? "prod"
                                                      : "xzprod";
        const bool checked = std::strcmp(partition, "prod") != 0;
        chain_note(run, model.final_loader, true, ChainPhase::writing, loader.size, 1);
        const Tried tried = write_and_check(
            {.attempts = kAttempts, .retry_failed_write = false},
            [&] { return write_loader(run.device, loader, partition, partition); },
            [&] {
                return !checked ||
                       do_check_buf(run.device, partition, loader.crc, 0, loader.size) == 0;
            });
        if (tried == Tried::checks_failed) con_err("\nerror: loader checksum %s\n", "loader");
        if (tried != Tried::checked) return -1;
        chain_note(run, model.final_loader, true, ChainPhase::restarting, loader.size, 1);
        if (restart_device(run, 1) != 0) return -1;
    }

    // the device must now run the final loader or a later one: a loader of the same generation
    // but older (Z03 against Z07) has not been upgraded
    if (query(run, "verflag") == Exchange::lost) return -1;
    if (!below(retvalue, loader.ver)) return 0;
    con_err("\nerror: the device's loader reports \"%s\", older than the final loader's %s\n",
            device_text(retvalue).c_str(), loader.ver);
    return -1;
}

}  // namespace

int loader_stage(InstallRun& run) {
    const model_install model = board_install();

    forget_verflag(run);
    if (ask_verflag_length(run) != 0) return -1;
    con_out(txt::banner);
    con_out("\n###Ver:%s\n", device_text(retvalue).c_str());
    con_flush();

    // every loader of the chain is older than the final one: a device whose loader is current
    // gets none, any other gets at least one, and a build that may not write them to this device
    // says so before anything of the run is written
    if (below(retvalue, payload_find(model.final_loader)->ver) && !loaders_allowed(run.device))
        return -1;

    // some models' loaders are never walked through the chain; neither is one too old to
    // report a version
    if (model.chain_skip) {
        con_out("###");
    } else if (run.verflaglen != 0) {
        if (loader_chain(run) != 0) return -1;
    }
    return install_final_loader(run, model);
}
