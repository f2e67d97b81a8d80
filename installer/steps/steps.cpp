// The exchange steps: query, set, reboot, reboot and reconnect, and the "verflag" answers since
// the device last started.
#include "installer/steps/steps.h"

#include <cstdio>
#include <cstring>

#include "client/action_queue.h"
#include "client/transport.h"
#include "console/console.h"
#include "console/device_text.h"
#include "installer/steps/device.h"
#include "trace/trace.h"

Exchange query(InstallRun& run, const char* var) {
    std::memset(retvalue, 0, sizeof retvalue);
    fb_queue_display(var, var);
    if (run_queue(run.device) == 0) return Exchange::answered;
    // a device that refuses a query answers it: the reply is empty and the caller decides what
    // that means
    if (!last_exchange_lost_link(run.device)) return Exchange::refused;
    con_err("\nerror: device stopped answering (getvar:%s)\n", var);
    run.lost_at_query = true;
    return Exchange::lost;
}

Exchange set(InstallRun& run, const char* var, const char* value) {
    fb_queue_set(var, value, var);
    if (run_queue(run.device) == 0) return Exchange::answered;
    return last_exchange_lost_link(run.device) ? Exchange::lost : Exchange::refused;
}

namespace {

// The queue itself lets a reboot's answer pass: the step's callback keeps it in the answer its
// data points to (the caller's, never freed by the queue). A loader may restart before its
// answer is out: a device that leaves the bus once "reboot" has gone out whole is restarting.
int cb_reboot(Action* a, int status, const char* resp) {
    auto* answer = static_cast<RebootAnswer*>(a->data);
    answer->unanswered = status != 0 && transport_sent_unanswered();
    answer->taken = status == 0 || answer->unanswered;
    std::snprintf(answer->error, sizeof answer->error, "%s", resp);
    return cb_do_nothing(a, status, resp);
}

}  // namespace

RebootAnswer reboot(InstallRun& run) {
    RebootAnswer answer;
    answer.taken = true;
    fb_queue_reboot();
    action_last->func = cb_reboot;
    action_last->data = &answer;
    (void)run_queue(run.device);  // the answer is what the callback kept
    return answer;
}

// A device that refused the reboot, answered it with something that is no status, never had it
// whole or failed the link in another way cannot be taken to have started what was written, and
// the run must not say it has.
bool reboot_taken(InstallRun& run) {
    const RebootAnswer answer = reboot(run);
    if (answer.unanswered) trace::Event("reboot_unanswered").text("error", answer.error);
    if (answer.taken) return true;
    con_err("\nerror: the device did not take the reboot (%s)\n",
            device_text(answer.error).c_str());
    return false;
}

bool reboot_and_reconnect(InstallRun& run, int seconds) {
    if (!reboot_taken(run)) return false;
    (void)close_device(run.device);
    device_rebooting(run.device);
    sleep_seconds(seconds);
    // from here the device is looked for: a wrapper can tell the restart from the wait
    trace::Event("reconnecting").number("waited", seconds);
    fb_queue_display("product", "product");
    (void)run_queue(run.device);  // this exchange only waits until the device is back
    return true;
}

void forget_verflag(InstallRun& run) {
    run.verflag_asked = false;
    std::memset(run.verflag_first, 0, sizeof run.verflag_first);
}

void config_block_written(InstallRun& run) {
    // a loader too old to report a version may report one once its block is written; one that
    // has reported a version keeps it, and an empty answer from it is still no version
    if (run.verflag_first[0] == '\0') forget_verflag(run);
}

// One that differs (a refused query beside answered ones) leaves the loader's version unknown,
// and every choice made from it would be a guess.
Verflag ask_verflag(InstallRun& run) {
    if (query(run, "verflag") == Exchange::lost) return Verflag::lost;
    if (!run.verflag_asked) {
        run.verflag_asked = true;
        std::memcpy(run.verflag_first, retvalue, sizeof retvalue);
        return Verflag::known;
    }
    if (std::strcmp(run.verflag_first, retvalue) == 0) return Verflag::known;
    con_err("\nerror: loader version unclear (verflag \"%s\", then \"%s\")\n",
            device_text(run.verflag_first).c_str(), device_text(retvalue).c_str());
    return Verflag::unclear;
}

int version_cmp(const char* reply, const char* ref) {
    return std::strncmp(reply, ref, 3);
}
