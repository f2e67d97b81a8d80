#include "client/action_queue.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/unique_malloc.h"

Action* action_list = nullptr;
Action* action_last = nullptr;

namespace {

// a command is at most 63 characters and its NUL
constexpr int kCmdSize = sizeof(Action::cmd);

// Heap copy of a formatted text, owned by whoever receives it and released with free.
char* vformat_owned(const char* fmt, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    int len = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (len < 0) die("out of memory");
    base::unique_malloc<char> text(static_cast<char*>(std::malloc(len + 1)));
    if (!text) die("out of memory");
    std::vsnprintf(text.get(), len + 1, fmt, ap);
    return text.release();
}

char* copy_owned(const char* text) {
    char* copy = strdup(text);
    if (copy == nullptr) die("out of memory");
    return copy;
}

}  // namespace

Action* queue_action(uint32_t op, const char* fmt, ...) {
    base::unique_malloc<Action> a(static_cast<Action*>(std::calloc(1, sizeof(Action))));
    if (!a) die("out of memory");

    va_list ap;
    va_start(ap, fmt);
    int len = std::vsnprintf(a->cmd, kCmdSize, fmt, ap);
    va_end(ap);
    if (len < 0 || len >= kCmdSize) {
        a.reset();
        die("Command length (%d) exceeds maximum size (%d)", len, kCmdSize);
    }

    Action* step = a.release();
    if (action_last != nullptr) {
        action_last->next = step;
    } else {
        action_list = step;
    }
    action_last = step;

    step->op = op;
    step->func = cb_default;
    step->start = -1.0;
    return step;
}

// The descriptions are never printed; they are kept whole rather than cut to a fixed buffer.
char* mkmsg(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    char* msg = vformat_owned(fmt, ap);
    va_end(ap);
    return msg;
}

void fb_queue_display(const char* var, const char* prettyname) {
    Action* a = queue_action(OP_QUERY, "getvar:%s", var);
    a->data = copy_owned(prettyname);
    a->freedata = 1;
    a->func = cb_display;
}

void fb_queue_set(const char* var, const char* value, const char* prettyname) {
    // the command is built from the parts so that an over-long one is reported at full length
    Action* a = queue_action(OP_COMMAND, "setvar:%s %s", prettyname, value);
    a->data = mkmsg("%s %s", prettyname, value);
    a->freedata = 1;
    a->msg = mkmsg("setting '%s' to '%s'", var, value);
    a->freemsg = 1;
    a->func = cb_display;
}

void fb_queue_check(const char* ptn) {
    Action* a = queue_action(OP_COMMAND, "check:%s", ptn);
    a->msg = mkmsg("checking '%s'", ptn);
    a->freemsg = 1;
}

namespace {

// the download and the flash that writes it; the download step is returned
Action* queue_download_and_flash(const char* ptn, const void* data, uint32_t sz) {
    Action* download = queue_action(OP_DOWNLOAD, "%s", "");
    Action* a = download;
    // the image stays the caller's: freedata stays 0
    a->data = const_cast<void*>(data);
    a->size = sz;
    a->msg = mkmsg("sending '%s' (%d KB)", ptn, static_cast<int>(sz / 1024));
    a->freemsg = 1;

    a = queue_action(OP_COMMAND, "flash:%s", ptn);
    a->msg = mkmsg("writing '%s'", ptn);
    a->freemsg = 1;
    return download;
}

}  // namespace

void fb_queue_flash(const char* ptn, const void* data, uint32_t sz) {
    queue_download_and_flash(ptn, data, sz);
}

void fb_queue_flash_source(const char* ptn, download_source* source, uint32_t sz) {
    queue_download_and_flash(ptn, nullptr, sz)->source = source;
}

void fb_queue_reboot() {
    Action* a = queue_action(OP_COMMAND, "reboot");
    a->func = cb_do_nothing;
    static char rebooting[] = "rebooting";
    a->msg = rebooting;
}

void fb_free_queue() {
    Action* a = action_list;
    while (a != nullptr) {
        Action* next = a->next;
        if (a->freemsg && a->msg != nullptr) std::free(a->msg);
        if (a->freedata && a->data != nullptr) std::free(a->data);
        std::free(a);
        a = next;
    }
    action_list = nullptr;
    action_last = nullptr;
}
