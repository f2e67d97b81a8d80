#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "client/action_queue.h"
#include "console/console.h"

void die(const char* fmt, ...) {
    char message[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(message, sizeof message, fmt, ap);
    va_end(ap);
    con_err("error: %s\n", message);
    std::exit(1);
}
