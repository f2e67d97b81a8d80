// Temporary directories for tests: one removed with everything in it when the object goes, and
// one that is also the current directory while it lives.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace support {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // A path inside the directory.
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
    // Writes a file (relative to the directory) and returns its path.
    std::filesystem::path write(const std::string& name, std::string_view bytes) const;

  private:
    std::filesystem::path path_;
};

// A fresh temporary directory that the test works in: entered on construction, left and removed
// on destruction.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return dir_.path(); }

  private:
    TempDir dir_;
    std::filesystem::path previous_;
};

// Writes `bytes` to `name` (relative to the current directory).
void write_file(const std::string& name, std::string_view bytes);
// The whole contents of a file; empty when it cannot be read.
std::string read_file(const std::filesystem::path& path);
// Makes `name` a file of `size` bytes without writing them (a sparse file of zeros).
void sparse_file(const std::string& name, uint64_t size);
// `size` bytes whose contents differ from byte to byte and from piece to piece.
std::string patterned_bytes(size_t size);
// The bytes as two-digit upper-case hexadecimal numbers, separated by single spaces.
std::string hex_bytes(std::string_view bytes);

}  // namespace support
