// What a person at a terminal is told when the package is refused, beyond the "###" lines: that
// there is no package in this directory, or which other bootloader devices a SERIAL could pick.
#pragma once

struct InstallRun;

// Says it on standard error when standard error is a terminal; nothing otherwise (a wrapper
// program reads the "###" lines). Nothing is sent to any device.
void explain_refusal(const InstallRun& run);
