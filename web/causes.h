// Why a run failed, from its error lines: each cause has its own next step on the page, so a
// failure is matched against a table of the installer's lines (web/causes.cpp) and named.
#pragma once

#include <string>
#include <string_view>

#include "web/reader.h"

namespace web {

enum class Cause {
    none,             // no line of the table: the page gives no advice it cannot back
    loader_chain,     // the loader chain cannot start from the device's loader
    package_damaged,  // a package file does not match its signature, here or on the device
    device_lost,      // the device stopped answering or left the bus
    write_refused,    // the device refused a write or what it read back
    stand_in,         // a build with stand-in loaders met a real device
    other_model,      // the package is for another model
};

[[nodiscard]] std::string_view cause_name(Cause cause);

struct Finding {
    Cause cause = Cause::none;
    std::string detail;  // the loader version, or the file or table the failing step wrote
    std::string device;  // for another model: the device's model, and the package's
    std::string package;
};

// Takes the run's events of both streams in the order they came and names the cause of its
// failure. A line that names a cause outright (the loader, a checksum, a lost device, the
// stand-ins, the model) wins over a refusal that follows from it or came before it.
class CauseFinder {
  public:
    void take(bool err, const Event& e);
    [[nodiscard]] const Finding& finding() const {
        return strong_.cause != Cause::none ? strong_ : weak_;
    }

  private:
    Finding strong_;
    Finding weak_;
    std::string written_;  // what the last error line said was being written
    std::string device_, package_;
};

}  // namespace web
