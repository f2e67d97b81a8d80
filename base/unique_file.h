// An open stdio stream that closes itself.
#pragma once

#include <cstdio>
#include <memory>

namespace base {

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using unique_file = std::unique_ptr<std::FILE, file_closer>;

}  // namespace base
