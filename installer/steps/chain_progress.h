// The loader chain told as it goes: each loader write and restart is a "loader" line of the trace
// (so a wrapper program can show the stage without new console output), and on a terminal one
// line of standard error, since the chain's restarts print nothing else and take the longest.
#pragma once

#include <cstdint>
#include <string_view>

struct InstallRun;

enum class ChainPhase { writing, restarting };

// The staged loaders this run is about to walk through, counted from the device's first answer;
// every later note numbers its stage among them.
void chain_planned(InstallRun& run, int stages);

// A staged loader (`final` false) or the model's final loader, of `bytes`, at `phase`; a restart
// waits `restart_seconds` before the device is looked for again.
void chain_note(InstallRun& run, std::string_view image, bool final, ChainPhase phase,
                uint32_t bytes, int restart_seconds);
