// Why a run failed, for a person at a terminal: the failing step notes its cause, and the error
// exit says it in one line on standard error with the next step. Off a terminal nothing is said,
// so what a wrapper program reads stays as it was.
#pragma once

#include <string_view>

#include "installer/steps/run.h"

enum class FailureCause {
    none,
    loader_chain,     // the loader chain cannot start from the device's loader
    package_damaged,  // a package file does not match its signature
    write_refused,    // the device refused a write, or what it read back of one
};

// The first cause noted stands; `detail` names the loader version or the file.
void note_failure(FailureCause cause, std::string_view detail);

// At the error exit: the cause and what to do next, when standard error is a terminal. A lost
// device comes before a checksum or a write that failed through it.
void advise_failure(const InstallRun& run);
