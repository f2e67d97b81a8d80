// tessaro-devsim running as a process for one in-process test of the installer's steps, with its
// partitions stored as files and the USB layer pointed at it while the object lives.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "installer/device.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "usb/usb_platform.h"

class devsim_process {
  public:
    explicit devsim_process(std::vector<std::string> args) : sim_(with_storage(std::move(args))) {
        ::setenv("TESSARO_DEVSIM_DIR", sim_.socket_dir().c_str(), 1);
        usb_platform_install(usb_platform_devsim());
        usb_device = nullptr;
    }
    ~devsim_process() {
        close_device();
        usb_platform_install(usb_platform_null());
        ::unsetenv("TESSARO_DEVSIM_DIR");
    }
    devsim_process(const devsim_process&) = delete;
    devsim_process& operator=(const devsim_process&) = delete;

    // What the device stored in a partition.
    std::string partition(const std::string& device, const std::string& name) const {
        return support::read_file(storage_ / device / name);
    }
    // The commands the devices received, in order.
    std::vector<std::string> commands() const { return sim_.commands(); }

  private:
    std::vector<std::string> with_storage(std::vector<std::string> args) const {
        args.insert(args.begin(), {"--storage", storage_.path().string()});
        return args;
    }

    support::TempDir storage_;
    support::Devsim sim_;
};
