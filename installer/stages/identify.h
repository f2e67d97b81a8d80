// Which model the attached device is, and whether the package in the current directory was
// built for it (the first line of "config.bin").
#pragma once

// 1 when the package may be installed on the device whose serial number is `name`; 0 otherwise,
// after printing the Device and Firmware lines or the unknown-device line. Stores the board id.
int checkmatch(const char* name);
