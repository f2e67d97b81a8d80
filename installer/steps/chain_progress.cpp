// The loader chain's stages in the trace and, on a terminal, on standard error.
#include "installer/steps/chain_progress.h"

#include <unistd.h>

#include "console/console.h"
#include "installer/steps/run.h"
#include "trace/trace.h"

namespace {

bool stderr_on_terminal() {
    static const bool terminal = ::isatty(STDERR_FILENO) == 1;
    return terminal;
}

const char* phase_name(ChainPhase phase) {
    return phase == ChainPhase::writing ? "writing" : "restarting";
}

}  // namespace

void chain_planned(InstallRun& run, int stages) {
    run.chain_stages = stages;
    run.chain_at = 0;
}

void chain_note(InstallRun& run, std::string_view image, bool final, ChainPhase phase,
                uint32_t bytes, int restart_seconds) {
    // a write opens the next stage; its restart belongs to it
    if (phase == ChainPhase::writing && !final) ++run.chain_at;
    trace::Event("loader")
        .number("stage", final ? run.chain_stages + 1 : run.chain_at)
        .number("of", run.chain_stages)
        .text("image", image)
        .flag("final", final)
        .text("phase", phase_name(phase))
        .number("bytes", bytes)
        .number("restart_seconds", restart_seconds);
    // off a terminal the output stays exactly what a program reading it has always had
    if (!stderr_on_terminal()) return;
    if (phase == ChainPhase::restarting) {
        con_err("Restarting the device to start %.*s (%d s, then waiting for it)\n",
                static_cast<int>(image.size()), image.data(), restart_seconds);
    } else if (final) {
        con_err("Updating the loader: the final loader (%.*s)\n", static_cast<int>(image.size()),
                image.data());
    } else {
        con_err("Updating the loader: stage %d of %d (%.*s)\n", run.chain_at, run.chain_stages,
                static_cast<int>(image.size()), image.data());
    }
}
