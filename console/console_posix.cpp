#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "console/console_platform.h"

namespace console_platform {

ConsoleEncoding locale_encoding() {
    const char* codeset = nl_langinfo(CODESET);
    bool utf8 = codeset != nullptr &&
                (std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0);
    return utf8 ? ConsoleEncoding::Utf8 : ConsoleEncoding::Gbk;
}

Conversion utf8_to_gbk(std::string_view utf8, std::string* out) {
    iconv_t cd = iconv_open("GBK", "UTF-8");
    // iconv_open reports failure as the all-ones handle
    if (cd == reinterpret_cast<iconv_t>(-1)) {  // NOLINT(performance-no-int-to-ptr)
        *out = std::strerror(errno);
        return Conversion::NoConverter;
    }
    std::string in(utf8);
    std::vector<char> buf(in.size() * 2 + 16);
    char* inp = in.data();
    size_t inleft = in.size();
    char* outp = buf.data();
    size_t outleft = buf.size();
    size_t rc = iconv(cd, &inp, &inleft, &outp, &outleft);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1) || inleft != 0) return Conversion::NotGbk;
    out->assign(buf.data(), buf.size() - outleft);
    return Conversion::Done;
}

void write(FILE* stream, std::string_view bytes) {
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), stream);
}

}  // namespace console_platform
