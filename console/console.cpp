#include "console/console.h"

#include <algorithm>
#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "console/console_platform.h"

namespace {

ConsoleEncoding g_encoding = ConsoleEncoding::Gbk;
ConsoleTee g_tee = nullptr;

// Converted format texts, keyed by the text itself; the set of texts is small and fixed.
std::map<std::string, std::string, std::less<>>& gbk_cache() {
    static std::map<std::string, std::string, std::less<>> cache;
    return cache;
}

bool is_ascii(std::string_view s) {
    return std::ranges::all_of(s, [](unsigned char c) { return c < 0x80; });
}

std::string vformat(const char* fmt, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    char small[512];
    int n = std::vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (n < 0) return {};
    if (static_cast<size_t>(n) < sizeof small) return {small, static_cast<size_t>(n)};
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(big.data(), big.size(), fmt, ap);
    big.resize(static_cast<size_t>(n));
    return big;
}

void write_all(FILE* stream, std::string_view bytes) {
    console_platform::write(stream, bytes);
}

// The format text as it goes out; its conversion happens before formatting so that the
// arguments are never converted.
std::string out_format(const char* fmt) {
    std::string_view f(fmt);
    if (g_encoding == ConsoleEncoding::Utf8 || is_ascii(f)) return std::string(f);
    return console_to_gbk(f);
}

}  // namespace

void console_init() {
    std::setlocale(LC_ALL, "");
    g_encoding = console_platform::locale_encoding();
    // numbers and messages keep the C conventions whatever the locale says
    std::setlocale(LC_NUMERIC, "C");
}

void console_set_encoding(ConsoleEncoding enc) {
    g_encoding = enc;
}
ConsoleEncoding console_encoding() {
    return g_encoding;
}

std::string console_to_gbk(std::string_view utf8) {
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    auto& cache = gbk_cache();
    if (auto it = cache.find(utf8); it != cache.end()) return it->second;

    std::string result;
    switch (console_platform::utf8_to_gbk(utf8, &result)) {
        case console_platform::Conversion::Done:
            break;
        case console_platform::Conversion::NoConverter:
            std::fprintf(stderr, "error: no UTF-8 to GBK conversion on this host (%s)\n",
                         result.c_str());
            std::exit(1);
        case console_platform::Conversion::NotGbk:
            std::fprintf(stderr, "error: text cannot be written as GBK: \"%s\"\n",
                         std::string(utf8).c_str());
            std::exit(1);
    }
    cache.emplace(std::string(utf8), result);
    return result;
}

std::string console_encode(std::string_view utf8) {
    if (g_encoding == ConsoleEncoding::Utf8 || is_ascii(utf8)) return std::string(utf8);
    return console_to_gbk(utf8);
}

namespace {

// Both streams: the format in the console's encoding, filled in, written whole.
void con_write(FILE* stream, const char* fmt, va_list ap) {
    std::string f = out_format(fmt);
    if (g_tee != nullptr) {
        // the tee takes the UTF-8 text: formatted once more from the format as written
        va_list copy;
        va_copy(copy, ap);
        g_tee(vformat(fmt, copy));
        va_end(copy);
    }
    write_all(stream, vformat(f.c_str(), ap));
}

}  // namespace

void con_out(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    con_write(stdout, fmt, ap);
    va_end(ap);
}

void con_err(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    con_write(stderr, fmt, ap);
    va_end(ap);
}

void con_out_text(std::string_view utf8) {
    if (g_tee != nullptr) g_tee(utf8);
    write_all(stdout, console_encode(utf8));
}

void con_out_raw(std::string_view bytes) {
    if (g_tee != nullptr) g_tee(bytes);
    write_all(stdout, bytes);
}

void console_set_tee(ConsoleTee tee) {
    g_tee = tee;
}

void con_flush() {
    std::fflush(stdout);
}
