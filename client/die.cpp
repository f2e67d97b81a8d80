#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "client/action_queue.h"
#include "console/console.h"
#include "trace/trace.h"

void die(const char* fmt, ...) {
    // the format is one of the system's texts and goes out in the console's encoding; the
    // arguments pass through as they are
    const std::string format = "error: " + console_encode(fmt) + "\n";
    // a fixed buffer: this also reports running out of memory
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, format.c_str(), ap);
    va_end(ap);
    con_err("%s", text);
    trace::Event("end").text("outcome", "internal fault").text("message", text);
    std::exit(1);
}
