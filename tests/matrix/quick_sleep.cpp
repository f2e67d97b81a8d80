// Preloaded into the installer by the fault matrix: its whole-second waits (after start-up, after
// each reboot, before its last line) pass twenty times faster, so thousands of whole installs
// fit in minutes. Only relative sleeps are shortened; the link's read timeouts are deadlines
// on the steady clock and stay as they are.
#include <dlfcn.h>
#include <time.h>

namespace {

constexpr long kDivisor = 20;
constexpr long kNanos = 1000000000L;

timespec shortened(const timespec& t) {
    const long long ns = (static_cast<long long>(t.tv_sec) * kNanos + t.tv_nsec) / kDivisor;
    return {static_cast<time_t>(ns / kNanos), static_cast<long>(ns % kNanos)};
}

}  // namespace

extern "C" int nanosleep(const timespec* req, timespec* rem) {
    using Fn = int (*)(const timespec*, timespec*);
    static const auto real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "nanosleep"));
    const timespec t = shortened(*req);
    return real(&t, rem);
}

extern "C" int clock_nanosleep(clockid_t clock, int flags, const timespec* req, timespec* rem) {
    using Fn = int (*)(clockid_t, int, const timespec*, timespec*);
    static const auto real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "clock_nanosleep"));
    if (flags != 0) return real(clock, flags, req, rem);
    const timespec t = shortened(*req);
    return real(clock, flags, &t, rem);
}
