// Writing a loader image of the catalog to the device. Every loader write of every stage goes
// through here, so this is the one place where a build that carries stand-in loaders refuses a
// device on real USB.
#pragma once

#include <cstdint>

struct RunDevice;

enum class loader_write {
    written,  // the device took the image into the partition
    failed,   // the device refused it or the transfer broke: the caller reports it and may retry
    refused,  // not sent: a stand-in for a real device; the error line is printed, the run ends
};

// False, after the error line, when this build carries stand-in loaders and the device is
// reached through a real USB backend: no loader may be written to it.
[[nodiscard]] bool loaders_allowed(RunDevice& device);
// How many times loaders_allowed has refused a device in this process.
[[nodiscard]] unsigned loader_refusals();

// Sends `image` (`size` bytes) with a download and writes it to `partition`, like flash_buffer.
// A build with stand-in loaders (see payload.h) writes them only to simulated devices: for a
// device reached through a real USB backend it prints the error line and sends nothing.
loader_write flash_loader(RunDevice& device, const void* image, uint32_t size,
                          const char* partition);
