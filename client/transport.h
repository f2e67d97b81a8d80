// The bootloader's command protocol over an open USB handle: a command is one bulk write, the
// device answers with status packets of at most 64 bytes ("INFO", "OKAY", "FAIL", "DATA").
// On the failures that leave the link in an unknown state the transport closes the handle with
// usb_close; the handle must not be used again after that.
#pragma once

#include <cstdint>
#include <span>

struct usb_handle;

// The data phase of a download handed over piece by piece, so that it never has to be in memory
// whole (a file read while it is sent).
class download_source {
  public:
    download_source() = default;
    download_source(const download_source&) = delete;
    download_source& operator=(const download_source&) = delete;
    virtual ~download_source() = default;
    // The next bytes of the data phase (valid until the next call); empty when they cannot be
    // had, with the reason in why().
    virtual std::span<const unsigned char> next() = 0;
    [[nodiscard]] virtual const char* why() const = 0;
};

// Text of the last transport failure; written only on failure.
extern char ERROR[128];

int fb_command(usb_handle* usb, const char* cmd);
// `response` has room for at least 61 bytes; on success it holds the OKAY packet's text.
int fb_command_response(usb_handle* usb, const char* cmd, char* response);
int fb_download_data(usb_handle* usb, const void* data, uint32_t size);
// The same download, its data phase taken from `source`; exactly `size` bytes are sent whatever
// the source has beyond them. A source that runs dry before that leaves the device waiting for
// the rest: the link is given up and the source's reason is the error.
int fb_download_source(usb_handle* usb, download_source& source, uint32_t size);
char* fb_get_error();
// How many handles the transport has closed so far. Whoever holds a handle compares the count
// before and after an exchange to learn whether the handle is gone.
unsigned transport_close_count();
// Whether the last command failed after it (and its data phase) had gone out whole, the device
// leaving the bus before any final status came: it has the command and may have carried it out
// (a bootloader may restart on "reboot" before it answers).
[[nodiscard]] bool transport_sent_unanswered();

// Called during every data phase, when set, with the bytes sent so far and the phase's size; the
// phase then goes out in pieces of 1 MiB so that the caller can show it moving. Null (the
// default) sends each phase in one write.
using data_progress_fn = void (*)(uint64_t sent, uint64_t size);
void fb_set_data_progress(data_progress_fn fn);

// Internal steps, exposed for tests.
int check_response(usb_handle* usb, uint32_t size, char* response);
int _command_start(usb_handle* usb, const char* cmd, uint32_t size, char* response);
int _command_data(usb_handle* usb, const void* data, uint32_t size);
int _command_end(usb_handle* usb);
int _command_send(usb_handle* usb, const char* cmd, const void* data, uint32_t size,
                  char* response);
int _command_send_no_data(usb_handle* usb, const char* cmd, char* response);
