#include "client/transport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "client/status_count.h"
#include "console/console.h"
#include "console/device_text.h"
#include "trace/trace.h"
#include "usb/usb.h"
#include "usb/usb_error.h"

char ERROR[128];

namespace {

// a status packet is at most 64 bytes: a four-letter code and up to 60 bytes of text
constexpr int kStatusMax = 64;
constexpr int kCodeLen = 4;
// the longest command the device takes
constexpr size_t kCommandMax = 64;

unsigned g_closes = 0;
// the last command (and its data phase) went out whole and the device left before its status
bool g_sent_unanswered = false;
data_progress_fn g_progress = nullptr;
// a data phase goes out in pieces of this size when someone is watching it move
constexpr uint32_t kProgressPiece = 1048576;

// the USB layer's code and words for a failure, into the trace
void trace_usb_error(const char* op, int code) {
    trace::Event("usb_error")
        .text("op", op)
        .number("code", code)
        .text("text", usb_error_text(code));
}

__attribute__((format(printf, 1, 2))) void set_error(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(ERROR, sizeof ERROR, fmt, ap);
    va_end(ap);
}

// After these failures the link is in an unknown state: the handle is given up for good.
void close_link(usb_handle* usb) {
    ++g_closes;
    usb_close(usb);
}

bool has_code(const char* status, const char* code) {
    return std::memcmp(status, code, kCodeLen) == 0;
}

}  // namespace

void fb_set_data_progress(data_progress_fn fn) {
    g_progress = fn;
}

unsigned transport_close_count() {
    return g_closes;
}

bool transport_sent_unanswered() {
    return g_sent_unanswered;
}

char* fb_get_error() {
    return ERROR;
}

int check_response(usb_handle* usb, uint32_t size, char* response) {
    char status[kStatusMax + 1];
    for (;;) {
        int r = usb_read(usb, status, kStatusMax);
        if (r < 0) {
            // the USB layer's code, in its own words, taken before anything can change it
            const int code = errno;
            set_error("status read failed (%s)", usb_error_text(code));
            // the device left the bus; any other failure (an overlong packet) is an answer
            g_sent_unanswered = code == USB_ERR_INVALID_HANDLE;
            trace_usb_error("status read", code);
            close_link(usb);
            return -1;
        }
        // a packet too short for its code is still the device's answer, for the bug report
        if (r <= kStatusMax) {
            trace::Event("reply").text("text", std::string_view(status, static_cast<size_t>(r)));
        }
        // a USB layer that claims more than it was asked for has not filled the rest
        if (r > kStatusMax || r < kCodeLen) {
            set_error("status malformed (%d bytes)", r);
            close_link(usb);
            return -1;
        }
        status[r] = '\0';
        const char* text = status + kCodeLen;

        if (has_code(status, "INFO")) {
            con_err("(bootloader) %s\n", device_text(text).c_str());
            continue;
        }
        if (has_code(status, "OKAY")) {
            // the text is at most 60 bytes and the caller's buffer holds 61
            if (response != nullptr) std::memcpy(response, text, std::strlen(text) + 1);
            return 0;
        }
        if (has_code(status, "FAIL")) {
            if (r == kCodeLen) {
                set_error("remote failure");
            } else {
                set_error("remote: %s", text);
            }
            return -1;
        }
        if (has_code(status, "DATA") && size != 0) {
            uint64_t count = parse_status_count(text);
            // the count is handed back as an int, so it must fit one as well as the size
            if (count > size || count > INT_MAX) {
                set_error("data size too large");
                close_link(usb);
                return -1;
            }
            return static_cast<int>(count);
        }
        set_error("unknown status code");
        close_link(usb);
        return -1;
    }
}

int _command_start(usb_handle* usb, const char* cmd, uint32_t size, char* response) {
    size_t len = std::strlen(cmd);
    if (response != nullptr) response[0] = '\0';
    g_sent_unanswered = false;
    if (len > kCommandMax) {
        set_error("command too large");
        return -1;
    }
    int n = static_cast<int>(len);
    trace::Event("command").text("text", cmd);
    if (usb_write(usb, cmd, n) != n) {
        const int code = errno;
        set_error("command write failed (%s)", usb_error_text(code));
        trace_usb_error("command write", code);
        close_link(usb);
        return -1;
    }
    return check_response(usb, size, response);
}

int _command_data(usb_handle* usb, const void* data, uint32_t size) {
    // the USB layer counts in int; a larger phase cannot be carried
    if (size > INT_MAX) {
        set_error("data size too large");
        close_link(usb);
        return -1;
    }
    int n = static_cast<int>(size);
    const auto started = std::chrono::steady_clock::now();
    int r = 0;
    if (g_progress == nullptr) {
        r = usb_write(usb, data, n);
    } else {
        // the same bytes in the same transfers (the USB layer sends 1 MiB at a time anyway),
        // with a word to the watcher after each piece
        const auto* bytes = static_cast<const unsigned char*>(data);
        while (r < n) {
            const int piece = std::min(n - r, static_cast<int>(kProgressPiece));
            const int put = usb_write(usb, bytes + r, piece);
            if (put < 0) {
                r = -1;
                break;
            }
            r += put;
            if (put != piece) break;
            g_progress(static_cast<uint64_t>(r), size);
        }
    }
    const int code = errno;
    trace::Event("data")
        .number("bytes", n)
        .number("sent", r < 0 ? 0 : r)
        .seconds("seconds",
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    if (r < 0) {
        set_error("data transfer failure (%s)", usb_error_text(code));
        trace_usb_error("data", code);
        close_link(usb);
        return -1;
    }
    if (r != n) {
        set_error("data transfer failure (short transfer)");
        close_link(usb);
        return -1;
    }
    return n;
}

int _command_end(usb_handle* usb) {
    return check_response(usb, 0, nullptr) < 0 ? -1 : 0;
}

int _command_send(usb_handle* usb, const char* cmd, const void* data, uint32_t size,
                  char* response) {
    if (size == 0) return -1;
    // refused before anything is sent: the device would wait for a data phase we cannot make
    if (size > INT_MAX) {
        set_error("data size too large");
        return -1;
    }
    // "DATA" with a count not above the size and a plain "OKAY" both let the download go on;
    // all the bytes are sent even when the device announced fewer
    if (_command_start(usb, cmd, size, response) < 0) return -1;
    if (_command_data(usb, data, size) < 0) return -1;
    if (_command_end(usb) < 0) return -1;
    return 0;
}

int _command_send_no_data(usb_handle* usb, const char* cmd, char* response) {
    return _command_start(usb, cmd, 0, response);
}

int fb_command(usb_handle* usb, const char* cmd) {
    return _command_send_no_data(usb, cmd, nullptr);
}

int fb_command_response(usb_handle* usb, const char* cmd, char* response) {
    return _command_send_no_data(usb, cmd, response);
}

int fb_download_data(usb_handle* usb, const void* data, uint32_t size) {
    char cmd[64];
    std::snprintf(cmd, sizeof cmd, "download:%08x", size);
    return _command_send(usb, cmd, data, size, nullptr);
}

int fb_download_source(usb_handle* usb, download_source& source, uint32_t size) {
    char cmd[64];
    std::snprintf(cmd, sizeof cmd, "download:%08x", size);
    // the same checks and command as a download from memory
    if (size == 0) return -1;
    if (size > INT_MAX) {
        set_error("data size too large");
        return -1;
    }
    if (_command_start(usb, cmd, size, nullptr) < 0) return -1;
    uint32_t sent = 0;
    while (sent < size) {
        std::span<const unsigned char> chunk = source.next();
        if (chunk.empty()) {
            set_error("%s", source.why());
            close_link(usb);
            return -1;
        }
        const auto n = static_cast<uint32_t>(std::min<size_t>(chunk.size(), size - sent));
        if (_command_data(usb, chunk.data(), n) < 0) return -1;
        sent += n;
    }
    return _command_end(usb);
}
