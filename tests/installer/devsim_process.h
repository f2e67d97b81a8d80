// The simulated device program (tessaro-devsim) running for one test, with its sockets and its
// partitions in a temporary directory; the USB layer is pointed at it while the object lives.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

class devsim_process {
  public:
    // `args` come after --dir and --storage; empty when the program is not built
    explicit devsim_process(const std::vector<std::string>& args);
    ~devsim_process();
    devsim_process(const devsim_process&) = delete;
    devsim_process& operator=(const devsim_process&) = delete;

    // true once the device said it is ready
    bool running() const { return ready_; }
    // What the device stored in a partition.
    std::string partition(const std::string& device, const std::string& name) const;

  private:
    std::filesystem::path dir_;
    pid_t pid_ = -1;
    bool ready_ = false;
};
