#include "support/usb_device_desc.h"

#include <algorithm>

namespace support {

namespace {

constexpr uint8_t kSerialIndex = 3;

void put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

void endpoint(std::vector<uint8_t>& v, uint8_t address, uint8_t type, uint16_t packet) {
    v.insert(v.end(), {7, 5, address, type});
    put16(v, packet);
    v.push_back(type == 3 ? 1 : 0);  // bInterval
}

}  // namespace

DeviceDesc device_desc(const devsim::DeviceConfig& cfg) {
    return {cfg.vendor,
            cfg.product,
            cfg.serial_readable ? cfg.serial : "",
            {{cfg.ifc_class, cfg.ifc_subclass, cfg.ifc_protocol, cfg.endpoints}}};
}

std::vector<uint8_t> descriptors(const DeviceDesc& desc) {
    std::vector<uint8_t> d = {18, 1, 0x00, 0x02, 0, 0, 0, 64};
    put16(d, desc.vendor);
    put16(d, desc.product);
    put16(d, 0x0100);
    d.insert(d.end(), {0, 0, static_cast<uint8_t>(desc.serial.empty() ? 0 : kSerialIndex), 1});

    std::vector<uint8_t> c = {9, 2, 0,    0, static_cast<uint8_t>(desc.interfaces.size()),
                              1, 0, 0x80, 50};
    uint8_t n = 0;
    for (const auto& i : desc.interfaces) {
        c.insert(c.end(), {9, 4, n, 0, i.endpoints, i.cls, i.subclass, i.protocol, 0});
        const auto in = static_cast<uint8_t>(0x81 + 2 * n);
        const auto out = static_cast<uint8_t>(0x01 + 2 * n);
        if (i.endpoints >= 1) endpoint(c, in, 2, kBulkPacket);
        if (i.endpoints >= 2) endpoint(c, out, 2, kBulkPacket);
        if (i.endpoints >= 3) endpoint(c, static_cast<uint8_t>(in + 1), 3, 8);
        ++n;
    }
    c[2] = static_cast<uint8_t>(c.size());
    c[3] = static_cast<uint8_t>(c.size() >> 8);
    d.insert(d.end(), c.begin(), c.end());
    return d;
}

std::optional<std::string> standard_request(const DeviceDesc& desc, const uint8_t setup[8]) {
    const uint8_t type = setup[0], req = setup[1], index = setup[2], kind = setup[3];
    const size_t want = static_cast<size_t>(setup[6] | setup[7] << 8);
    const std::vector<uint8_t> all = descriptors(desc);
    std::string reply;
    if (type == 0x80 && req == 0) {
        reply.assign(2, '\0');  // GET_STATUS: not self-powered, no remote wake-up
    } else if (type == 0x80 && req == 6 && kind == 1) {
        reply.assign(all.begin(), all.begin() + 18);
    } else if (type == 0x80 && req == 6 && kind == 2) {
        reply.assign(all.begin() + 18, all.end());
    } else if (type == 0x80 && req == 6 && kind == 3 && index == 0) {
        reply = std::string("\x04\x03\x09\x04", 4);  // US English
    } else if (type == 0x80 && req == 6 && kind == 3 && index == kSerialIndex &&
               !desc.serial.empty()) {
        reply.push_back(static_cast<char>(2 + 2 * desc.serial.size()));
        reply.push_back(3);
        for (char ch : desc.serial) reply.append({ch, '\0'});
    } else {
        return std::nullopt;
    }
    reply.resize(std::min(reply.size(), want));
    return reply;
}

}  // namespace support
