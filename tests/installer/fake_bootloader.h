// A bootloader in memory behind the fake USB platform, so the steps can be run in-process: it
// answers commands with status packets, takes downloads, and records what it saw.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "installer/steps/device.h"
#include "support/fake_platform.h"

struct fake_bootloader : fake::Device {
    // enumerations that find nothing before the device shows up
    int absent_for = 0;
    // final status packet for a command (download commands included); "OKAY" when not set
    std::function<std::string(const std::string& command)> answer;
    // runs when a command arrives, before it is answered
    std::function<void(const std::string& command)> on_command;

    // what happened
    std::vector<std::string> commands;
    // the image each "flash:" command wrote, by the text after "flash:"
    std::map<std::string, std::string> flashed;
    bool keep_data = true;  // store downloads (off for large files)
    // the USB layer takes it for a simulated device; false makes it a device on real USB
    bool simulated = true;
    // what the platform saw
    int enumerations() const { return fake::state().enumerations; }
    int opens() const { return fake::interfaces_opened(); }
    int closes() const { return fake::interfaces_closed(); }
    int open_interfaces() const { return opens() - closes(); }

    // protocol state
    std::vector<std::string> pending;  // status packets not yet read
    uint64_t data_left = 0;
    std::string download;
    uint64_t download_size = 0;

    void take(std::string_view bytes) override;
    std::optional<std::string> give() override;
    // a closed link forgets the half-done exchange
    void closed() override;

  private:
    void take_command(const std::string& command);
    std::string final_answer(const std::string& command) const;
};

// Makes `device` the one interface of the fake USB platform for the lifetime of the guard, with a
// device handle of its own, closed when the guard ends.
class fake_bootloader_guard {
  public:
    explicit fake_bootloader_guard(fake_bootloader& device);
    ~fake_bootloader_guard();
    fake_bootloader_guard(const fake_bootloader_guard&) = delete;
    fake_bootloader_guard& operator=(const fake_bootloader_guard&) = delete;

    RunDevice device;

  private:
    fake::Installed platform_;
};
