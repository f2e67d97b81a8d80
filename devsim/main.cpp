// tessaro-devsim: simulated e-reader bootloaders on Unix-domain sockets (see docs/devsim.md).
#include "console/console.h"
#include "devsim/cli.h"

int main(int argc, char** argv) {
    console_init();
    return devsim::devsim_main(argc, argv);
}
