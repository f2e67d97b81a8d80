// The console on Windows: GBK is code page 936, converted by the system (no iconv). A console
// window is given the text as UTF-16, so that it shows the Chinese texts whatever its code
// page; a pipe or a file gets the GBK bytes, which is what a wrapper program reads.
#include <windows.h>

#include <string>

#include "console/console_platform.h"

namespace console_platform {

namespace {

constexpr UINT kGbk = 936;

std::wstring wide(UINT code_page, DWORD flags, std::string_view bytes) {
    const int n = MultiByteToWideChar(code_page, flags, bytes.data(),
                                      static_cast<int>(bytes.size()), nullptr, 0);
    if (n <= 0) return {};
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(code_page, flags, bytes.data(), static_cast<int>(bytes.size()), w.data(),
                        n);
    return w;
}

// The console behind a standard stream; null when the stream is a pipe or a file.
HANDLE console_of(FILE* stream) {
    HANDLE h = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (h == INVALID_HANDLE_VALUE || h == nullptr || !GetConsoleMode(h, &mode)) return nullptr;
    return h;
}

}  // namespace

ConsoleEncoding locale_encoding() {
    // a Windows console is written in UTF-16 (below); every other reader expects GBK
    return ConsoleEncoding::Gbk;
}

Conversion utf8_to_gbk(std::string_view utf8, std::string* out) {
    std::wstring w = wide(CP_UTF8, MB_ERR_INVALID_CHARS, utf8);
    if (w.empty() && !utf8.empty()) return Conversion::NotGbk;
    BOOL lost = FALSE;
    const int n = WideCharToMultiByte(kGbk, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                      nullptr, &lost);
    if (n <= 0 || lost) return Conversion::NotGbk;
    out->assign(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(kGbk, 0, w.data(), static_cast<int>(w.size()), out->data(), n, nullptr,
                        nullptr);
    return Conversion::Done;
}

void write(FILE* stream, std::string_view bytes) {
    if (bytes.empty()) return;
    if (HANDLE console = console_of(stream)) {
        // what stdio holds goes first, so the order on the screen stays the order written
        std::fflush(stream);
        std::wstring w = wide(kGbk, 0, bytes);
        DWORD written = 0;
        WriteConsoleW(console, w.data(), static_cast<DWORD>(w.size()), &written, nullptr);
        return;
    }
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
}

}  // namespace console_platform
