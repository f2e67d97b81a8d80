// The reference a whole install is measured against: a client of the simulated link that moves
// the package's bytes as downloads and flashes with nothing else around them (no menus, checks,
// progress or sleeps), reading each file through one 1 MiB buffer.
#pragma once

#include <filesystem>
#include <string>

namespace bench {

class FramingClient {
  public:
    FramingClient() = default;
    ~FramingClient();
    FramingClient(const FramingClient&) = delete;
    FramingClient& operator=(const FramingClient&) = delete;

    // Connects to the device socket and takes its descriptor frame.
    bool connect(const std::filesystem::path& socket);
    // "download:%08x" of the file's size, its bytes, then "flash:NAME"; true when all was OKAY.
    bool download_and_flash(const std::filesystem::path& file, const std::string& name);

  private:
    bool transfer(const void* data, size_t len);
    bool status(std::string& packet);
    bool read_frame(char& kind, std::string& payload);

    int fd_ = -1;
};

}  // namespace bench
