// The one process-wide queue of steps through which every exchange with the bootloader runs:
// queue steps, open the device, fb_execute_queue, fb_free_queue.
#pragma once

#include <cstdint>

struct usb_handle;
class download_source;

struct Action;
// Called after the step's transport operation with the step, its status (0 or -1) and a text
// (the error text on failure; the OKAY text of a query; "" otherwise). Nonzero stops the queue.
using action_callback = int (*)(Action* a, int status, const char* resp);

enum : uint32_t { OP_DOWNLOAD = 1, OP_COMMAND = 2, OP_QUERY = 3 };

struct Action {
    uint32_t op;    // OP_DOWNLOAD, OP_COMMAND or OP_QUERY
    Action* next;   // following step; null at the tail
    char cmd[64];   // NUL-terminated command, at most 63 characters; empty for a download
    char* prod;     // null in every step
    void* data;     // download: the caller's image; query and set: a text the step owns
    int freedata;   // nonzero when data belongs to the step
    uint32_t size;  // download: number of bytes
    char* msg;      // description of the step, never printed
    int freemsg;    // nonzero when msg belongs to the step
    action_callback func;
    double start;             // -1.0 when queued; now() when run and again on success
    download_source* source;  // download: where the data phase comes from when data is null
};

extern Action* action_list;
extern Action* action_last;

// Reply buffer: the OKAY text of the last successful query (at most 60 characters), empty after
// a successful set, unchanged after a failure. Callers zero it before a query.
extern char retvalue[256];

void fb_queue_display(const char* var, const char* prettyname);
void fb_queue_set(const char* var, const char* value, const char* prettyname);
void fb_queue_check(const char* ptn);
// The image stays the caller's and must stay valid until the queue has been freed.
void fb_queue_flash(const char* ptn, const void* data, uint32_t sz);
// The same with the data phase read from `source` as it is sent; the source stays the caller's.
void fb_queue_flash_source(const char* ptn, download_source* source, uint32_t sz);
void fb_queue_reboot();

// 0 when every step's callback returned 0, else the first nonzero callback result.
int fb_execute_queue(usb_handle* usb);
// Releases every step and what it owns; the queue is empty afterwards.
void fb_free_queue();

// Wall-clock seconds with microsecond resolution.
double now();
// "error: " and the formatted message on standard error, then exit status 1.
[[noreturn]] void die(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Internal, exposed for tests.
Action* queue_action(uint32_t op, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
char* mkmsg(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
int cb_default(Action* a, int status, const char* resp);
int cb_display(Action* a, int status, const char* resp);
int cb_do_nothing(Action* a, int status, const char* resp);
