#include "installer/steps/failure_cause.h"

#include <unistd.h>

#include <string>

#include "console/console.h"

namespace {

struct Noted {
    FailureCause cause = FailureCause::none;
    std::string detail;
};
Noted& noted() {
    static Noted n;
    return n;
}

bool stderr_on_terminal() {
    static const bool terminal = ::isatty(STDERR_FILENO) == 1;
    return terminal;
}

}  // namespace

void note_failure(FailureCause cause, std::string_view detail) {
    if (noted().cause != FailureCause::none) return;
    noted() = {cause, std::string(detail)};
}

void advise_failure(const InstallRun& run) {
    if (!stderr_on_terminal()) return;
    const Noted& n = noted();
    const char* detail = n.detail.c_str();
    if (n.cause == FailureCause::loader_chain) {
        con_err(
            "tessaro-installer: the loader chain cannot start from this device's loader (%s): "
            "this package cannot be installed on it, and running again fails the same way\n",
            detail);
    } else if (run.lost_at_query || last_exchange_lost_link(run.device)) {
        con_err("tessaro-installer: the device was lost: reconnect it, then install again\n");
    } else if (n.cause == FailureCause::package_damaged) {
        con_err(
            "tessaro-installer: the package file %s is damaged (it does not match its "
            "signature): get the package again\n",
            detail);
    } else if (n.cause == FailureCause::write_refused) {
        con_err(
            "tessaro-installer: the device refused to write %s: try again once; if it fails "
            "again, report it with this output and the run's trace (TESSARO_TRACE)\n",
            detail);
    }
}
