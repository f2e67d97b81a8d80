// What makes one simulated device: its USB identity, its bootloader's variables and partition
// addresses, its timing and its faults; and the settings shared by all devices of a run.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "devsim/fault.h"
#include "simlink/address.h"

namespace devsim {

// the longest serial number a device presents: the host keeps it in 256 bytes with its terminator
constexpr size_t kMaxSerial = 255;

struct DeviceConfig {
    std::string name;  // the socket's file name and the transcript's "dev"
    std::string serial = "SIM0001";
    bool serial_readable = true;
    uint16_t vendor = 0x18d1;
    uint16_t product = 0x4ee0;
    uint8_t ifc_class = 0xff;
    uint8_t ifc_subclass = 0x42;
    uint8_t ifc_protocol = 0x03;
    uint8_t endpoints = 2;
    std::map<std::string, std::string> vars;
    // device start address of each partition, for check:, given or fixed; a partition not
    // listed starts where the storage layout puts it (layout_address), else at 0
    std::map<std::string, uint32_t> addresses;
    uint32_t reboot_delay_ms = 500;
    uint32_t appear_after_ms = 0;
    // set: the device is plugged in (its socket appears) only when the device of this name
    // reboots for the appear_at_reboot_count-th time
    std::string appear_at_reboot_of;
    uint32_t appear_at_reboot_count = 1;
    std::vector<Fault> faults;
    // the "verflag" the device reports after the reboot that follows writing each loader image
    // of the installer's catalog (recognised by its CRC-32), by image name
    std::map<std::string, std::string> loader_verflags;
    // how many device-side checks of a partition that holds a loader image fail, by image name
    std::map<std::string, uint32_t> loader_check_fails;
    // the "serialno" the device reports from the reboot after "respcb" was set to a value, by
    // value (the storage-variant switch)
    std::map<std::string, std::string> respcb_serials;
    // false: the device keeps of each download only its size and CRC-32, and storage is given
    // those (write_digest); a twin in another program's process that must take a GiB without
    // holding it. Faults that damage a download (corrupt) then change nothing.
    bool keep_download = true;

    DeviceConfig();
};

// The partition addresses every device starts with, whatever its storage layout.
std::map<std::string, uint32_t> default_addresses();
// Where the storage layout of a device with this serial number (its first three characters, the
// model code) puts a partition whose address depends on the layout; none for the others.
std::optional<uint32_t> layout_address(std::string_view serialno, std::string_view partition);
// The verflag each loader image brings: a device at "8.0" walks the whole chain to its final
// loader.
std::map<std::string, std::string> default_loader_verflags();

struct SimConfig {
    std::string dir;  // the devices' Unix-domain sockets; or, with `listen`, none
    // the devices listen on TCP instead: the first at this address, each next one on the next
    // port (port 0: each on a free port of its own, kept across its reboots)
    std::optional<simlink::TcpAddress> listen;
    std::string transcript;  // empty: none
    std::string storage;     // empty: partitions in memory
    uint64_t rate = 0;       // link bytes per second; 0: unlimited
    std::vector<DeviceConfig> devices;
};

// The standard USB descriptors the device presents.
std::array<uint8_t, 18> device_descriptor(const DeviceConfig& dev);
std::array<uint8_t, 9> interface_descriptor(const DeviceConfig& dev);

}  // namespace devsim
