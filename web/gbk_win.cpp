#include <windows.h>

#include "web/gbk.h"

namespace web {

namespace {

void append_utf8(std::string& out, const wchar_t* w, int n) {
    if (n <= 0) return;
    const int len = WideCharToMultiByte(CP_UTF8, 0, w, n, nullptr, 0, nullptr, nullptr);
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(len));
    WideCharToMultiByte(CP_UTF8, 0, w, n, out.data() + at, len, nullptr, nullptr);
}

}  // namespace

std::string gbk_to_utf8(std::string_view gbk) {
    // code page 936 maps every byte pair it does not know to U+FFFD or a default character
    // itself, so the whole text converts in one go
    const int n = MultiByteToWideChar(936, 0, gbk.data(), static_cast<int>(gbk.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(936, 0, gbk.data(), static_cast<int>(gbk.size()), w.data(), n);
    std::string out;
    append_utf8(out, w.data(), n);
    return out;
}

}  // namespace web
