#include "fake_bootloader.h"

#include <cstdio>
#include <cstdlib>

#include "installer/steps/device.h"

std::string fake_bootloader::final_answer(const std::string& command) const {
    return answer ? answer(command) : std::string("OKAY");
}

void fake_bootloader::take_command(const std::string& command) {
    commands.push_back(command);
    if (on_command) on_command(command);
    if (command.rfind("download:", 0) == 0) {
        std::string reply = final_answer(command);
        if (reply != "OKAY") {
            pending.push_back(reply);
            return;
        }
        download_size = std::strtoull(command.c_str() + 9, nullptr, 16);
        data_left = download_size;
        download.clear();
        char data[16];
        std::snprintf(data, sizeof data, "DATA%08llx",
                      static_cast<unsigned long long>(download_size));
        pending.push_back(data);
        return;
    }
    std::string reply = final_answer(command);
    if (command.rfind("flash:", 0) == 0 && reply == "OKAY") {
        flashed[command.substr(6)] = keep_data ? download : std::string();
    }
    pending.push_back(reply);
}

void fake_bootloader::take(std::string_view bytes) {
    if (data_left > 0) {
        if (keep_data) download.append(bytes);
        data_left -= bytes.size() < data_left ? bytes.size() : data_left;
        if (data_left == 0) pending.push_back("OKAY");
        return;
    }
    take_command(std::string(bytes));
}

std::optional<std::string> fake_bootloader::give() {
    if (pending.empty()) return std::nullopt;
    std::string packet = pending.front();
    pending.erase(pending.begin());
    return packet;
}

void fake_bootloader::closed() {
    pending.clear();
    data_left = 0;
}

fake_bootloader_guard::fake_bootloader_guard(fake_bootloader& device) {
    fake::Interface ifc;
    ifc.name = "fake0";
    ifc.serial = "FAKE0001";
    fake::state().interfaces = {ifc};
    fake::state().absent_for = device.absent_for;
    fake::state().device = &device;
    fake::set_simulated(device.simulated);
}

fake_bootloader_guard::~fake_bootloader_guard() {
    (void)close_device(device);
}
