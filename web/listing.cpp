#include "web/listing.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>

namespace web {

using json = nlohmann::json;

Listing read_listing(const std::string& out, const Listing& last,
                     const std::vector<std::string>& running) {
    Listing now;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        const json j = json::parse(line, nullptr, false);
        if (!j.is_object()) continue;
        if (j.contains("serial")) {
            now.devices.push_back(j);
        } else if (j.contains("error")) {
            now.problems.push_back(j);
        }
    }
    // a device being installed is shown as the listing last saw it: while its install holds it
    // (or reboots it) the listing cannot tell anything of it. It is also busy for the listing,
    // which cannot tell it from one another program holds: busy devices wait until no install runs
    for (const auto& place : running) {
        json others = json::array();
        for (auto& p : now.problems) {
            if (p.value("error", "") != "busy") others.push_back(std::move(p));
        }
        now.problems = std::move(others);
        json kept;
        for (const auto& d : last.devices) {
            if (d.value("path", "") == place) kept = d;
        }
        json rest = json::array();
        for (auto& d : now.devices) {
            if (d.value("path", "") != place) rest.push_back(std::move(d));
        }
        if (!kept.is_null()) rest.push_back(kept);
        now.devices = std::move(rest);
    }
    return now;
}

Lister::Lister(ChildLaunch launch, std::function<void(std::string)> take)
    : launch_(std::move(launch)), take_(std::move(take)) {}

void Lister::start() {
    thread_ = std::thread([this] { loop(); });
}

void Lister::stop() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void Lister::loop() {
    std::unique_lock lock(mutex_);
    while (!stop_) {
        lock.unlock();
        int status = 0;
        std::string out;
        try {
            out = run_for_output(launch_, &status);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "tessaro-web: listing the devices: %s\n", e.what());
        }
        take_(std::move(out));
        lock.lock();
        wake_.wait_for(lock, std::chrono::seconds(2), [this] { return stop_; });
    }
}

}  // namespace web
