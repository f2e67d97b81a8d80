// The one device handle of the run, opened lazily and waited for.
#pragma once

struct usb_handle;

// The open bootloader interface of the run; null while closed.
extern usb_handle* usb_device;

// The open device handle; waits (announcing "< waiting for device >" once) until the
// bootloader's interface is there. Never returns null.
usb_handle* open_device();
// Closes the handle (when one is open) and forgets it. Returns usb_close's result.
int close_device();
// One exchange: what is queued runs on the open device (waiting for it), then the queue is
// emptied. The queue's result.
int run_queue();
// Whether the last run_queue failed because the link failed (the transport gave up the handle),
// as opposed to the device refusing a command with FAIL.
bool last_exchange_lost_link();
// Whole-second wait.
void sleep_seconds(int seconds);
