// The progress bar's figures for a person at a terminal: while a file goes to the device, the
// bar moves during every data phase and shows the bytes sent, the rate and the time left. When
// standard output is not a terminal none of this is drawn, so a program reading the output sees
// exactly the bar it always has.
#pragma once

#include <cstdint>
#include <string>

// True when standard output is a terminal (asked once).
bool progress_on_terminal();

// One file on its way to the device, for the life of the object. On a terminal the data phases
// inside it redraw the bar; elsewhere it does nothing.
class FileProgress {
  public:
    explicit FileProgress(uint64_t total);
    ~FileProgress();
    FileProgress(const FileProgress&) = delete;
    FileProgress& operator=(const FileProgress&) = delete;
    // The next data phase carries the bytes of the file from this offset on.
    void at(uint64_t offset) const;

  private:
    bool on_;  // standard output is a terminal: this object drives the bar
};

// " 12.0/700.0 MiB  25.3 MiB/s  0:27 left" for the file on its way, empty when there is none.
std::string progress_figures();
