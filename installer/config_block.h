// The boot configuration block: 1024 bytes that tell the loader which systems the user partition
// boots.
#pragma once

// Writes the block for `systype` to `part` at device address `addr`, checked on the device when
// `check` is nonzero, up to 3 tries. 0, or -1 after its own message.
[[nodiscard]] int reset_config(int systype, int addr, const char* part, int check);
