// The one device handle of the run, opened lazily and waited for.
#pragma once

struct usb_handle;

// The open bootloader interface of the run; null while closed.
extern usb_handle* usb_device;

// The open device handle; waits (announcing "< waiting for device >" once) until the
// bootloader's interface is there. Never returns null.
usb_handle* open_device();
// From the next open on, the run follows the device it opens first: every later open takes
// only the device that hangs where that one did (or, where the backend cannot tell where, that
// has its serial number), and names any other bootloader it passes by once on standard error.
// Off: every open takes the first device the serial number argument allows.
void follow_first_device(bool on);
// The device was told to reboot: a wait for it that lasts a minute says what to check.
void device_rebooting();
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
