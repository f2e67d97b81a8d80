#include <iconv.h>

#include <cerrno>

#include "web/gbk.h"

namespace web {

std::string gbk_to_utf8(std::string_view gbk) {
    std::string out;
    iconv_t cd = iconv_open("UTF-8", "GBK");
    // iconv_open's failure is the pointer value -1
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::string(gbk);  // NOLINT(performance-no-int-to-ptr)
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
    iconv_close(cd);
    return out;
}

}  // namespace web
