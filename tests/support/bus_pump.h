// A bootloader core's output handed to the host of an emulated USB bus, as far as pauses and the
// host's IN requests allow: shared by the adapters that put the core on a bus (an emulated
// usbfs, a VM's USB redirection), which differ only in how a transfer ends.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "devsim/bootloader.h"

namespace support {

// How an adapter ends what the host asked for.
struct BusSide {
    // the device took `taken` bytes of the oldest OUT transfer
    std::function<void(uint32_t taken)> ack;
    // a status packet for the oldest IN request; false when the host has none waiting, and the
    // packet waits for it
    std::function<bool(const std::string& packet)> status;
    // the device leaves the bus for `away_ms` (0: it vanishes and is back at once)
    std::function<void(uint32_t away_ms)> leave;
};

// Drains the core's output while the device is on the bus (`on_bus`, which `side.leave` clears)
// and no pause holds it back (`hold_until`, which a Pause sets).
inline void pump_output(devsim::Bootloader& core, const bool& on_bus,
                        std::optional<std::chrono::steady_clock::time_point>& hold_until,
                        const BusSide& side) {
    using Clock = std::chrono::steady_clock;
    auto& out = core.output();
    while (!out.empty() && on_bus) {
        if (hold_until && Clock::now() < *hold_until) return;
        hold_until.reset();
        const devsim::Output& o = out.front();
        switch (o.kind) {
            case devsim::OutputKind::Ack:
                side.ack(o.value);
                break;
            case devsim::OutputKind::Work:
                out.pop_front();
                core.run_pending();
                continue;
            case devsim::OutputKind::Status:
                if (!side.status(o.packet)) return;
                break;
            case devsim::OutputKind::Pause:
                hold_until = Clock::now() + std::chrono::milliseconds(o.value);
                break;
            case devsim::OutputKind::Vanish:
            case devsim::OutputKind::Reboot: {
                const uint32_t ms = o.kind == devsim::OutputKind::Vanish ? 0 : o.value;
                out.pop_front();
                side.leave(ms);
                return;
            }
        }
        out.pop_front();
    }
}

}  // namespace support
