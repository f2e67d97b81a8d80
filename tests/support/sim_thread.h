// The socket server running in a thread of the test, in a temporary directory: the sockets in
// DIR/sockets, the transcript in DIR/transcript.jsonl. Stopped when the object goes.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "devsim/socket_server.h"
#include "support/temp_dir.h"

namespace support {

class SimThread {
  public:
    // `args` are tessaro-devsim's options after --dir and --transcript.
    explicit SimThread(std::vector<std::string> args);
    ~SimThread();
    SimThread(const SimThread&) = delete;
    SimThread& operator=(const SimThread&) = delete;

    std::string socket(const std::string& device) const;
    const std::filesystem::path& dir() const { return dir_.path(); }
    std::vector<std::string> transcript() const;
    // Stops the server and waits for it.
    void stop();

  private:
    TempDir dir_;
    std::unique_ptr<devsim::SocketServer> server_;
    std::thread thread_;
};

}  // namespace support
