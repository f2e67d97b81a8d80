#include <iconv.h>

#include <cerrno>

#include "web/gbk.h"

namespace web {

namespace {

// One converter per thread (each install's readers convert on their own), opened once: opening
// one costs far more than a line's conversion.
class Converter {
  public:
    Converter() : cd_(iconv_open("UTF-8", "GBK")) {}
    ~Converter() {
        if (ok()) iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    // iconv_open's failure is the pointer value -1
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    [[nodiscard]] bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    [[nodiscard]] iconv_t get() const { return cd_; }

  private:
    iconv_t cd_;
};

}  // namespace

std::string gbk_to_utf8(std::string_view gbk) {
    thread_local const Converter conv;
    if (!conv.ok()) return std::string(gbk);
    iconv_t cd = conv.get();
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    std::string out;
    auto* in = const_cast<char*>(gbk.data());
    size_t in_left = gbk.size();
    char buf[1024];
    while (in_left > 0) {
        char* o = buf;
        size_t o_left = sizeof buf;
        const size_t r = iconv(cd, &in, &in_left, &o, &o_left);
        out.append(buf, static_cast<size_t>(o - buf));
        if (r == static_cast<size_t>(-1) && errno != E2BIG) {
            // a byte that starts no character, or a character cut off at the end
            out += "\xEF\xBF\xBD";
            ++in;
            --in_left;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    return out;
}

}  // namespace web
