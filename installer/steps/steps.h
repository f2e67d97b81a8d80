// The exchange steps every stage is built from: a query, a set, a reboot, a reboot that waits for
// the device to come back, the "verflag" bookkeeping, and "write, check, up to N tries". Each
// gives a result its caller must look at; none of them ends the run.
#pragma once

#include "installer/steps/run.h"

// How one exchange went.
enum class Exchange {
    answered,  // the device took the command (a query's reply is in retvalue)
    refused,   // the device said no; a refused query leaves an empty reply
    lost,      // the link failed: the error line is printed and run.lost_at_query is set
};

// Zeroes retvalue and asks for `var`. A link that fails is no answer at all, and any meaning
// given to the empty reply would be a guess: the error line is printed and the result is `lost`.
[[nodiscard]] Exchange query(InstallRun& run, const char* var);
// Sets `var` to `value`.
[[nodiscard]] Exchange set(InstallRun& run, const char* var, const char* value);

// The reboot's answer: taken, or not with the transport's words. A device that leaves the bus
// once "reboot" has gone out whole counts as taken: a loader may restart before it answers.
struct RebootAnswer {
    bool taken = false;
    bool unanswered = false;  // taken without an answer: the device left after the command
    char error[128] = {};
};
[[nodiscard]] RebootAnswer reboot(InstallRun& run);
// A reboot whose refusal is reported: false after the error line. Taken, in the middle of a run
// the device's next answers show whether it started what was written.
[[nodiscard]] bool reboot_taken(InstallRun& run);
// Reboot, then the handle closed, `seconds` waited and the device waited for with a "product"
// query whose reply is not looked at (the reply buffer is left as it is). A device that does not
// take the reboot is not waited for: false after the error line.
[[nodiscard]] bool reboot_and_reconnect(InstallRun& run, int seconds);

// What a "verflag" question gave.
enum class Verflag {
    known,    // the reply (in retvalue) is the loader's version
    unclear,  // it differs from the first answer since the device started; error line printed
    lost,     // the link failed (see query)
};
// Asks "verflag" into retvalue. The first answer since the device last started is taken as it
// is; a later one that differs from it is not.
[[nodiscard]] Verflag ask_verflag(InstallRun& run);
// The device has restarted: its next "verflag" answer is a first one.
void forget_verflag(InstallRun& run);
// The device's boot configuration block was written: when its answers so far were empty, its
// next "verflag" answer is a first one.
void config_block_written(InstallRun& run);
// Compares a "verflag" reply with a 3-character version on the first 3 bytes as unsigned
// values; a shorter reply ends in its zero, which is lowest. Negative when the reply is older.
[[nodiscard]] int version_cmp(const char* reply, const char* ref);

// One write of "write, check, up to N tries".
enum class Write {
    done,    // the device took the bytes: now checked
    failed,  // the write failed: tried again or given up, as the Tries say
    stop,    // the caller has printed why: give up at once
};
// How "write, check, up to N tries" ended.
enum class Tried {
    checked,        // a write was taken and its check passed
    write_failed,   // a failed write that is not tried again
    stopped,        // a write said stop
    checks_failed,  // every try was written, or failed where that is tried again, and not checked
};
struct Tries {
    int attempts;             // how many writes at most
    bool retry_failed_write;  // a failed write is tried again like a failed check
};
// Writes with `write()` (a Write) and checks with `check()` (true when the device confirms it),
// up to `tries.attempts` times.
template <class WriteFn, class CheckFn>
[[nodiscard]] Tried write_and_check(Tries tries, WriteFn&& write, CheckFn&& check) {
    for (int attempt = 0; attempt < tries.attempts; ++attempt) {
        switch (write()) {
            case Write::stop:
                return Tried::stopped;
            case Write::failed:
                if (!tries.retry_failed_write) return Tried::write_failed;
                continue;
            case Write::done:
                break;
        }
        if (check()) return Tried::checked;
    }
    return Tried::checks_failed;
}

// The loader and block writes are tried this many times.
inline constexpr int kAttempts = 3;
