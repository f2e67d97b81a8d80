// The page's files (HTML, CSS, JavaScript), compiled into the program at build time.
#pragma once

#include <string_view>
#include <vector>

namespace web {

struct PageFile {
    std::string_view path;  // "/index.html"
    std::string_view body;
};

[[nodiscard]] const std::vector<PageFile>& page_files();

}  // namespace web
