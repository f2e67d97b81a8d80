#include "devsim/device_config.h"

#include <algorithm>

namespace devsim {

std::map<std::string, uint32_t> default_addresses() {
    // the kernel and loader partitions the installer checks at fixed device addresses; where the
    // second system's kernel and partition table start depends on the storage layout (below)
    return {
        {"xzkernel", 0x141000},       {"xzprod", 0},     {"prod", 0}, {"xloader_belto", 0x41000},
        {"xloader0_belto", 0xE41000}, {"bootloader", 0},
    };
}

std::optional<uint32_t> layout_address(std::string_view serialno, std::string_view partition) {
    // the storage layouts by the model code a serial number begins with; the second system's
    // kernel starts 1 MiB after its partition table on every layout
    struct Layout {
        std::array<std::string_view, 3> codes;
        uint32_t embr;
    };
    static constexpr std::array<Layout, 4> kLayouts{{
        {{"02F", "02E", ""}, 0x35D00000},
        {{"02A", "027", ""}, 0x5FF00000},
        {{"13G", "", ""}, 0xE2300000},
        {{"07F", "078", "079"}, 0x77B00000},
    }};
    constexpr uint32_t kDefaultEmbr = 0x66300000;
    if (partition != "xembr" && partition != "xevemkit") return std::nullopt;
    uint32_t embr = kDefaultEmbr;
    const std::string_view code = serialno.substr(0, 3);
    for (const Layout& layout : kLayouts) {
        if (code.size() == 3 && std::ranges::find(layout.codes, code) != layout.codes.end()) {
            embr = layout.embr;
            break;
        }
    }
    return partition == "xembr" ? embr : embr + 0x100000;
}

std::map<std::string, std::string> default_loader_verflags() {
    return {
        {"porter", "9.0"},         {"porter1", "9.9"},      {"porter2", "A.9"},
        {"porter3", "Y01"},        {"loader_belto", "Z07"}, {"loader_tiva", "Z05"},
        {"loader_quessel", "Z05"},
    };
}

DeviceConfig::DeviceConfig()
    : addresses(default_addresses()), loader_verflags(default_loader_verflags()) {}

std::array<uint8_t, 18> device_descriptor(const DeviceConfig& dev) {
    return {
        18,  // bLength
        1,   // bDescriptorType: device
        0x00,
        0x02,  // bcdUSB 2.00
        0,
        0,
        0,   // class, subclass, protocol: given by the interface
        64,  // bMaxPacketSize0
        static_cast<uint8_t>(dev.vendor),
        static_cast<uint8_t>(dev.vendor >> 8),
        static_cast<uint8_t>(dev.product),
        static_cast<uint8_t>(dev.product >> 8),
        0x00,
        0x01,                                               // bcdDevice 1.00
        1,                                                  // iManufacturer
        2,                                                  // iProduct
        static_cast<uint8_t>(dev.serial_readable ? 3 : 0),  // iSerialNumber
        1,                                                  // bNumConfigurations
    };
}

std::array<uint8_t, 9> interface_descriptor(const DeviceConfig& dev) {
    return {
        9,  // bLength
        4,  // bDescriptorType: interface
        0,  // bInterfaceNumber
        0,  // bAlternateSetting
        dev.endpoints,
        dev.ifc_class,
        dev.ifc_subclass,
        dev.ifc_protocol,
        0,  // iInterface
    };
}

}  // namespace devsim
