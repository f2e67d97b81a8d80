#include "console/console.h"

#include <iconv.h>
#include <langinfo.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace {

ConsoleEncoding g_encoding = ConsoleEncoding::Gbk;

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
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), stream);
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
    const char* codeset = nl_langinfo(CODESET);
    bool utf8 = codeset != nullptr &&
                (std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0);
    g_encoding = utf8 ? ConsoleEncoding::Utf8 : ConsoleEncoding::Gbk;
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

    iconv_t cd = iconv_open("GBK", "UTF-8");
    // iconv_open reports failure as the all-ones handle
    if (cd == reinterpret_cast<iconv_t>(-1)) {  // NOLINT(performance-no-int-to-ptr)
        std::fprintf(stderr, "error: no UTF-8 to GBK conversion on this host (%s)\n",
                     std::strerror(errno));
        std::exit(1);
    }
    std::string in(utf8);
    std::vector<char> out(in.size() * 2 + 16);
    char* inp = in.data();
    size_t inleft = in.size();
    char* outp = out.data();
    size_t outleft = out.size();
    size_t rc = iconv(cd, &inp, &inleft, &outp, &outleft);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1) || inleft != 0) {
        std::fprintf(stderr, "error: text cannot be written as GBK: \"%s\"\n", in.c_str());
        std::exit(1);
    }
    std::string result(out.data(), out.size() - outleft);
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

void con_out_raw(std::string_view bytes) {
    write_all(stdout, bytes);
}

void con_flush() {
    std::fflush(stdout);
}
