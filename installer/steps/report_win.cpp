// The run's report on Windows: the console's control handler runs on a thread of its own, so a
// lock keeps it from writing the report while the run changes it.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "installer/steps/report_host.h"

namespace report_host {

namespace {

std::recursive_mutex& lock() {
    static std::recursive_mutex m;
    return m;
}

}  // namespace

Hold::Hold() {
    lock().lock();
}

Hold::~Hold() {
    lock().unlock();
}

std::string host_name() {
    // RtlGetVersion tells the version as it is (GetVersionEx answers what the program's manifest
    // asks for); it is looked up, so the program imports nothing more
    using GetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
    OSVERSIONINFOW v{};
    v.dwOSVersionInfoSize = sizeof v;
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto get = ntdll == nullptr ? nullptr
                                      : reinterpret_cast<GetVersion>(reinterpret_cast<void*>(
                                            GetProcAddress(ntdll, "RtlGetVersion")));
    if (get == nullptr || get(&v) != 0) return "Windows ?";
    SYSTEM_INFO si{};
    GetNativeSystemInfo(&si);
    const char* arch = si.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64   ? "x86_64"
                       : si.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_ARM64 ? "arm64"
                                                                                   : "x86";
    char text[64];
    std::snprintf(text, sizeof text, "Windows %lu.%lu.%lu %s", v.dwMajorVersion, v.dwMinorVersion,
                  v.dwBuildNumber, arch);
    return text;
}

std::tm utc_time(std::time_t secs) {
    std::tm tm{};
    gmtime_s(&tm, &secs);
    return tm;
}

int create_file(const char* path, std::string* why) {
    const int fd = ::_open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT,
                           _S_IREAD | _S_IWRITE);
    if (fd < 0) *why = std::strerror(errno);
    return fd;
}

void write_bytes(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const int n = ::_write(fd, bytes.data(), static_cast<unsigned>(bytes.size()));
        if (n <= 0) return;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
}

void close_file(int fd) {
    if (fd >= 0) ::_close(fd);
}

}  // namespace report_host
