#include "support/sim_thread.h"

#include <gtest/gtest.h>

#include <fstream>

#include "devsim/options.h"

namespace support {

namespace fs = std::filesystem;

SimThread::SimThread(std::vector<std::string> args) {
    args.insert(args.begin(), {"--dir", (dir() / "sockets").string(), "--transcript",
                               (dir() / "transcript.jsonl").string()});
    auto opts = devsim::parse_options(args);
    if (!opts.config) {
        ADD_FAILURE() << opts.error;
        return;
    }
    server_ = std::make_unique<devsim::SocketServer>(std::move(*opts.config));
    std::string err = server_->start();
    if (!err.empty()) {
        ADD_FAILURE() << err;
        server_.reset();
        return;
    }
    thread_ = std::thread([this] { server_->run(); });
}

void SimThread::stop() {
    if (!server_) return;
    server_->request_stop();
    if (thread_.joinable()) thread_.join();
    server_.reset();
}

SimThread::~SimThread() {
    stop();
}

std::string SimThread::socket(const std::string& device) const {
    return (dir() / "sockets" / device).string();
}

std::vector<std::string> SimThread::transcript() const {
    std::ifstream in(dir() / "transcript.jsonl");
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

}  // namespace support
