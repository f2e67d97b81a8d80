// What a run stopped at a wait says: the write the device took last.
#pragma once

#include <string_view>

// The write the device took last, as a person would name it ("loader chain stage 2
// (porter1)"): what a run ended at a wait says the device was left with. A run starts with
// nothing written.
void note_last_write(std::string_view what);
// What is said then, one or two lines with their line ends.
std::string_view stop_note();
// What a Ctrl+C during a write says, on a terminal.
std::string_view interrupt_in_write_note();
