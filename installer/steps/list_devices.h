// The device listing (tessaro-installer --list): every bootloader device there is, asked only
// what it is, and every one that could not be opened, with the reason and its fix.
#pragma once

#include <string>
#include <string_view>

enum class ListFormat { Text, Json };

// What one answering device said, as the listing shows it.
struct ListedDevice {
    std::string serial;
    std::string model;    // the model table's name; empty when the board id is in no row
    std::string loader;   // the "verflag" answer
    std::string system;   // "native", "second" or "dual", read from "systype"
    std::string variant;  // the storage variant ("4GB", "32GB") where the model has one
    std::string path;     // the interface's device path, where the host gives one
    bool simulated = false;
};

// The model name and storage variant of a board id, from the model table.
void describe_board(std::string_view serial, ListedDevice& device);
// How the family road reads a "systype" answer.
[[nodiscard]] std::string_view system_name(std::string_view systype);

[[nodiscard]] std::string listed_line(const ListedDevice& device, ListFormat format);

// Lists the devices on standard output; writes nothing to any device, waits for none. Returns
// the exit status (0).
[[nodiscard]] int list_devices(ListFormat format);
