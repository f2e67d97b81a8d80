// A fresh temporary directory that the test works in: entered on construction, left and removed
// (with everything in it) on destruction.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

class scratch_dir {
  public:
    scratch_dir() {
        std::string tmpl =
            (std::filesystem::temp_directory_path() / "tessaro-steps-XXXXXX").string();
        path_ = ::mkdtemp(tmpl.data());
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(path_);
    }
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    ~scratch_dir() {
        std::error_code ec;
        std::filesystem::current_path(previous_, ec);
        std::filesystem::remove_all(path_, ec);
    }

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
    std::filesystem::path previous_;
};

// Writes `bytes` to `name` in the current directory.
void write_file(const std::string& name, std::string_view bytes);
// Makes `name` a file of `size` bytes without writing them (a sparse file of zeros).
void sparse_file(const std::string& name, uint64_t size);
// A file of `size` bytes whose contents differ from byte to byte and from piece to piece.
std::string patterned_bytes(size_t size);
