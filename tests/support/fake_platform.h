// A fake USB platform for tests: a list of interfaces with their descriptors and serial numbers,
// transfers served by scripted results or by a device behind the pipes, and a record of every
// call.
#pragma once

#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "usb/usb.h"
#include "usb/usb_platform.h"

namespace fake {

struct Interface {
    std::string name;
    uint16_t vendor = 0x18D1;
    uint16_t product = 0x4EE0;
    uint8_t cls = 0xFF;
    uint8_t subclass = 0x42;
    uint8_t protocol = 0x03;
    uint8_t endpoints = 2;
    std::optional<std::string> serial = "SER0001";
    // failures on the way to an open handle (last error left by the failing call)
    int create_error = 0;
    bool no_read_pipe = false;
    bool no_write_pipe = false;
    bool no_name = false;
    bool no_device_descriptor = false;
};

struct Transfer {
    const void* buf;
    uint32_t len;
    uint32_t timeout_ms;
};

// One scripted platform transfer: success with a count (reads: the bytes of `data`), or a
// failure with a last-error code.
struct Step {
    bool ok = true;
    int error = USB_ERR_NONE;
    std::string data;                // reads: what arrives
    std::optional<uint32_t> take;    // writes: bytes taken (all offered when empty)
    std::optional<uint32_t> report;  // writes: count reported instead of the bytes taken

    static Step read(std::string bytes) {
        return Step{true, USB_ERR_NONE, std::move(bytes), {}, {}};
    }
    static Step fail(int code) { return Step{false, code, {}, {}, {}}; }
    static Step takes(uint32_t n) { return Step{true, USB_ERR_NONE, {}, n, {}}; }
};

// A device behind the pipes, in place of scripted steps: it takes every bulk OUT transfer whole
// and says what each bulk IN transfer carries.
class Device {
  public:
    virtual ~Device() = default;
    virtual void take(std::string_view bytes) = 0;
    // Nothing when the device has nothing to say: the read fails rather than wait forever.
    virtual std::optional<std::string> give() = 0;
    // The host closed the interface.
    virtual void closed() = 0;
};

enum class Kind { Interface, ReadPipe, WritePipe };

struct Token {
    Kind kind;
    size_t ifc;
};

struct State {
    std::vector<Interface> interfaces;
    bool enum_fails = false;
    // enumerations that list nothing, before the interfaces show up
    int absent_for = 0;
    Device* device = nullptr;
    std::deque<Step> reads;
    std::deque<Step> writes;
    std::vector<Transfer> read_calls;
    std::vector<Transfer> write_calls;
    // every handle ever given out, and how often each was closed
    std::vector<std::unique_ptr<Token>> tokens;
    std::map<const void*, int> closes;
    int enums_open = 0;
    int enumerations = 0;
    // looks that left a device alone, and port resets by interface name
    int peeks = 0;
    std::map<std::string, int> resets;
};

State& state();
const usb_platform* platform();
// Whether the USB layer takes the fake's interfaces for simulated devices (not at first).
void set_simulated(bool simulated);
// Whether the backend can look at a device without opening it (not at first): the search then
// opens only the interface it takes.
void set_peeking(bool peeking);

// Installs the fake with a fresh state for one test, and puts the previous platform back.
class Installed {
  public:
    Installed();
    ~Installed();
    Installed(const Installed&) = delete;
    Installed& operator=(const Installed&) = delete;

  private:
    const usb_platform* previous_;
};

// Handles given out that were never closed, and handles closed more than once.
int handles_left_open();
int handles_closed_twice();
// Interfaces opened, and closes of interfaces.
int interfaces_opened();
int interfaces_closed();

}  // namespace fake
