// The roads of the fault matrix: each is one whole install that ends as done when nothing goes
// wrong, given as the package, the simulated device and the installer's arguments.
#pragma once

#include <string>
#include <vector>

namespace matrix {

struct Road {
    std::string name;
    std::string config;               // the first line of config.bin
    std::vector<std::string> files;   // package images, each with a .sign beside it
    std::vector<std::string> device;  // tessaro-devsim options after "--device d"
    std::vector<std::string> args;    // the installer's arguments
    std::string input;                // standard input (the menu choice)
};

const std::vector<Road>& roads();

// The road the fast subset runs: it holds every kind of exchange.
const Road& fast_road();

}  // namespace matrix
