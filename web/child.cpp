// What a child is used for on every host: run to its end for its standard output.
#include "web/child.h"

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

}  // namespace web
