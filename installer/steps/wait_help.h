// Help for a person whose device is not found: after a few seconds of "< waiting for device >",
// one line on standard error for each change in what the search sees (bootloaders with other
// serial numbers, a device this user may not open, a device held by another program).
#pragma once

#include <string>
#include <vector>

#include "usb/usb.h"

// How long the wait stays quiet before it starts to explain itself.
inline constexpr int kWaitQuietSeconds = 3;

// The lines to write when the search sees `now` after having reported `before` (one per kind of
// finding that changed and is not empty), each with its line end. `wanted` is the serial
// number asked for (null: any).
std::vector<std::string> wait_help_lines(const usb_seen& before, const usb_seen& now,
                                         const char* wanted);

// Why an interface could not be opened, as the host said.
enum class UnopenedKind { Refused, Busy, NoDriver };
// One plain sentence for a device that could not be opened: what is in the way and the fix.
[[nodiscard]] std::string unopened_fix(UnopenedKind kind, bool simulated);
