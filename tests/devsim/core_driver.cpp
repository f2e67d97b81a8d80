#include "core_driver.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

namespace devsim_test {

using devsim::OutputKind;

namespace {

// "A12": a letter and a number, appended rather than "A" + text, which GCC 12 at -O2 takes for
// an overlapping copy (-Wrestrict)
std::string tagged(char tag, uint32_t value) {
    std::string out(1, tag);
    out += std::to_string(value);
    return out;
}

}  // namespace

std::vector<uint8_t> pattern_bytes(uint32_t len, uint8_t seed) {
    std::vector<uint8_t> v(len);
    for (uint32_t i = 0; i < len; ++i) v[i] = static_cast<uint8_t>(i * 7 + seed);
    return v;
}

std::string hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%x", v);
    return buf;
}

devsim::DeviceConfig test_device(std::vector<std::string> faults) {
    devsim::DeviceConfig d;
    d.name = "dev0";
    d.vars = {{"product", "RQ3"}, {"serialno", "SIM0001"}};
    for (const auto& f : faults) {
        auto parsed = devsim::parse_fault(f);
        EXPECT_TRUE(parsed.fault) << parsed.error;
        if (parsed.fault) d.faults.push_back(*parsed.fault);
    }
    return d;
}

CoreDriver::CoreDriver(devsim::DeviceConfig config, std::string transcript_path)
    : core_(std::move(config), storage_, transcript_) {
    if (!transcript_path.empty()) {
        EXPECT_TRUE(transcript_.open(transcript_path));
    }
}

std::vector<std::string> CoreDriver::send(const Transfer& t) {
    std::vector<uint8_t> bytes = t.text.empty()
                                     ? pattern_bytes(t.data_len, t.seed)
                                     : std::vector<uint8_t>(t.text.begin(), t.text.end());
    auto len = static_cast<uint32_t>(bytes.size());
    auto buf = core_.transfer_buffer(len);
    EXPECT_EQ(buf.size(), len);
    if (len > 0) std::memcpy(buf.data(), bytes.data(), len);
    core_.transfer_done(len);

    std::vector<std::string> said;
    auto& out = core_.output();
    while (!out.empty()) {
        const auto& o = out.front();
        switch (o.kind) {
            case OutputKind::Ack:
                said.push_back(tagged('A', o.value));
                break;
            case OutputKind::Status:
                said.push_back("R:" + o.packet);
                break;
            case OutputKind::Work:
                core_.run_pending();
                break;
            case OutputKind::Pause:
                said.push_back(tagged('P', o.value));
                break;
            case OutputKind::Vanish:
                said.push_back("vanish");
                core_.back();
                break;
            case OutputKind::Reboot:
                said.push_back("reboot:" + std::to_string(o.value));
                core_.back();
                break;
        }
        out.pop_front();
    }
    return said;
}

std::vector<std::string> CoreDriver::run(const std::vector<Transfer>& ts) {
    std::vector<std::string> all;
    for (const auto& t : ts) {
        auto said = send(t);
        all.insert(all.end(), said.begin(), said.end());
    }
    return all;
}

std::string CoreDriver::answer(const std::string& command) {
    std::string last;
    for (const auto& s : send(cmd(command))) {
        if (s.starts_with("R:")) last = s.substr(2);
    }
    return last;
}

std::string CoreDriver::flash(const std::string& target, const std::vector<uint8_t>& bytes) {
    char dl[32];
    std::snprintf(dl, sizeof dl, "download:%08x", static_cast<unsigned>(bytes.size()));
    EXPECT_EQ(answer(dl).substr(0, 4), "DATA");
    auto len = static_cast<uint32_t>(bytes.size());
    auto buf = core_.transfer_buffer(len);
    std::memcpy(buf.data(), bytes.data(), len);
    core_.transfer_done(len);
    core_.output().clear();
    return answer("flash:" + target);
}

}  // namespace devsim_test
