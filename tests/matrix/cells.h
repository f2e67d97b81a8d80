// The cells of the fault matrix: for every exchange of a road's clean run, every fault that can
// happen at that kind of exchange, as a tessaro-devsim fault rule hitting exactly that exchange.
#pragma once

#include <string>
#include <vector>

namespace matrix {

struct Cell {
    size_t exchange = 0;  // index into the clean run's commands
    std::string command;
    std::string fault;  // the fault's name in the printed matrix
    std::string rule;   // --fault argument
    // extra time the fault itself may add to the run (a silence, a late return)
    int extra_ms = 0;
    // the device comes back as another device: waiting for it is the installer's answer
    bool waits_for_device = false;
    // a refused query: the variable asked for. The device answered, as one that does not hold
    // the variable answers, and the run may go on with what that answer means
    std::string refused_var;
    // no fault: a second device like the road's own (a twin, with its serial number) is plugged
    // in when the road's device begins this reboot (1-based); nothing may be sent to it
    int plug_in_at_reboot = 0;
    // the device does nothing wrong (a loader that restarts before it answers "reboot"): the
    // run must end as done
    bool must_end_done = false;
    // the device leaves the bus once it has the closing reboot, without an answer: the run ends
    // as done, and whether the device started again no host can see
    bool start_unseen = false;
};

// The commands the clean run sent, in order. `fast`: each fault only at the first exchange of
// each kind (getvar, setvar, download, flash, check, reboot) it applies to.
std::vector<Cell> make_cells(const std::vector<std::string>& commands, bool fast);

// Faults the matrix leaves out, with the reason.
const std::vector<std::string>& out_of_scope();

}  // namespace matrix
