#include <sys/time.h>

#include <cstdio>
#include <cstring>

#include "client/action_queue.h"
#include "client/transport.h"
#include "console/console.h"
#include "console/device_text.h"

char retvalue[256];

double now() {
    timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1000000.0;
}

int cb_default(Action* a, int status, const char* resp) {
    if (status != 0) {
        con_err("FAILED (%s)\n", device_text(resp).c_str());
        return status;
    }
    a->start = now();
    return 0;
}

int cb_display(Action* a, int status, const char* resp) {
    if (status != 0) {
        con_err("%s FAILED (%s)\n", a->cmd, device_text(resp).c_str());
        return status;
    }
    std::snprintf(retvalue, sizeof retvalue, "%s", resp);
    return 0;
}

// a reboot's answer does not matter: the device may go away before it can send one
int cb_do_nothing(Action* /*a*/, int /*status*/, const char* /*resp*/) {
    con_err("\n");
    return 0;
}

int fb_execute_queue(usb_handle* usb) {
    if (action_list == nullptr) return 0;

    char resp[65] = {};
    for (Action* a = action_list; a != nullptr; a = a->next) {
        a->start = now();
        unsigned closes = transport_close_count();

        int status;
        switch (a->op) {
            case OP_DOWNLOAD:
                status = a->source != nullptr ? fb_download_source(usb, *a->source, a->size)
                                              : fb_download_data(usb, a->data, a->size);
                break;
            case OP_COMMAND:
                status = fb_command(usb, a->cmd);
                break;
            case OP_QUERY:
                status = fb_command_response(usb, a->cmd, resp);
                break;
            default:
                die("bogus action");
        }

        // The transport gives up the handle on some failures. A step whose callback lets the
        // queue go on (a reboot) must not leave later steps a freed handle: they run on none
        // and fail through the transport.
        if (transport_close_count() != closes) usb = nullptr;

        const char* text = "";
        if (status != 0) {
            text = fb_get_error();
        } else if (a->op == OP_QUERY) {
            text = resp;
        }
        int r = a->func(a, status, text);
        if (r != 0) return r;
    }
    return 0;
}
