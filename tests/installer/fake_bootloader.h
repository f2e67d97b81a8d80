// A bootloader in memory behind the USB platform interface, so the steps can be run in-process:
// it answers commands with status packets, takes downloads, and records what it saw.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

struct fake_bootloader {
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
    int enumerations = 0;
    int opens = 0;          // interfaces opened
    int closes = 0;         // interfaces closed
    bool keep_data = true;  // store downloads (off for large files)
    // the USB layer takes it for a simulated device; false makes it a device on real USB
    bool simulated = true;

    // protocol state
    std::vector<std::string> pending;  // status packets not yet read
    uint64_t data_left = 0;
    std::string download;
    uint64_t download_size = 0;
    int open_interfaces = 0;
};

// Makes `device` the backend of the USB layer (and forgets any open device handle), for the
// lifetime of the guard; the null backend afterwards.
class fake_bootloader_guard {
  public:
    explicit fake_bootloader_guard(fake_bootloader& device);
    ~fake_bootloader_guard();
    fake_bootloader_guard(const fake_bootloader_guard&) = delete;
    fake_bootloader_guard& operator=(const fake_bootloader_guard&) = delete;
};
