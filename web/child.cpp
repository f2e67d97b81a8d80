// What the host functions give on every host: a child run to its end for its standard output,
// random bytes as text.
#include "web/child.h"

#include <cstdio>
#include <thread>

namespace web {

std::string run_for_output(const ChildLaunch& launch, int* status) {
    Child child(launch);
    child.close_in();
    std::thread drain([&child] {
        char buf[4096];
        while (child.read_err(buf, sizeof buf) > 0) {
        }
    });
    std::string out;
    char buf[4096];
    for (size_t n; (n = child.read_out(buf, sizeof buf)) > 0;) out.append(buf, n);
    drain.join();
    const int s = child.wait();
    if (status != nullptr) *status = s;
    return out;
}

std::string random_hex(size_t count) {
    std::string hex;
    for (const unsigned char c : random_bytes(count)) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", c);
        hex += two;
    }
    return hex;
}

}  // namespace web
