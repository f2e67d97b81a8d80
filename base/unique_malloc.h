// A block from malloc or calloc that frees itself: for buffers that must be able to report
// running out of memory instead of throwing.
#pragma once

#include <cstdlib>
#include <memory>

namespace base {

struct free_deleter {
    void operator()(void* p) const { std::free(p); }
};
template <class T>
using unique_malloc = std::unique_ptr<T, free_deleter>;

}  // namespace base
