// tessaro-devsim as the device of in-process tests of the installer's steps: the program runs
// for one test with its partitions stored as files, and the installer's USB layer and device
// handle are pointed at it while the object lives.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "installer/steps/device.h"
#include "payload/payload.h"
#include "support/process.h"
#include "support/temp_dir.h"

class usb_devsim {
  public:
    explicit usb_devsim(std::vector<std::string> args);
    ~usb_devsim();
    usb_devsim(const usb_devsim&) = delete;
    usb_devsim& operator=(const usb_devsim&) = delete;

    // What the device stored in a partition (empty when nothing was written to it).
    std::string partition(const std::string& device, const std::string& name) const;
    // The file that holds a partition, for partitions too large to read whole.
    std::filesystem::path partition_file(const std::string& device, const std::string& name) const {
        return storage_ / device / name;
    }
    // The commands the devices received, in order.
    std::vector<std::string> commands() const { return sim_.commands(); }

    // A device handle for the steps under test, closed when the object ends.
    RunDevice device;

  private:
    support::TempDir storage_;
    support::Devsim sim_;
};

// The CRC-32 of the bytes as a signature file holds it: 8 lower-case hexadecimal digits.
std::string crc_text(const std::string& bytes);

// An embedded image by name, and its bytes; throws when the build has no image of that name.
inline const payload_image& image(const char* name) {
    const payload_image* img = payload_find(name);
    if (img == nullptr) throw std::runtime_error(std::string("no image ") + name);
    return *img;
}
inline std::string bytes_of(const char* name) {
    const payload_image& img = image(name);
    return {reinterpret_cast<const char*>(img.bytes), img.size};
}
