// The strings a process is started with (its arguments, its environment) as the array that
// posix_spawn and exec take: a pointer to each, then a null pointer.
#pragma once

#include <string>
#include <vector>

namespace base {

// The pointers point into `strings`, which must outlive the array unchanged.
inline std::vector<char*> c_string_array(std::vector<std::string>& strings) {
    std::vector<char*> array;
    array.reserve(strings.size() + 1);
    for (auto& s : strings) array.push_back(s.data());
    array.push_back(nullptr);
    return array;
}

}  // namespace base
