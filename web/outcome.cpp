#include "web/outcome.h"

namespace web {

EventKind Outcome::take(const Event& e) {
    switch (e.kind) {
        case EventKind::Choice:
            exited_ = exited_ || e.value == "0";
            break;
        case EventKind::Done:
            // a menu left with 0 ends with the same last line as a done install
            if (exited_) {
                left_ = true;
                return EventKind::Left;
            }
            done_ = true;
            break;
        case EventKind::Failed:
            failed_ = true;
            break;
        case EventKind::Left:
            left_ = true;
            break;
        default:
            break;
    }
    return e.kind;
}

std::string_view Outcome::end(int status) {
    if (!failed_ && status == 0 && done_) {
        state_ = "done";
    } else if (!failed_ && status == 0 && left_) {
        state_ = "left";
    } else if (!failed_ && stop_asked_) {
        // ended at a wait or a menu by the Stop (the closing wait too), with its note of where
        // the device was left
        state_ = "stopped";
    } else {
        // a failure sticks; a run with no ending of its own, or a nonzero exit after one
        state_ = "failed";
    }
    return state_;
}

}  // namespace web
