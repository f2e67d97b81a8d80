// The tessaro-devsim program, as a function so tests can run it in-process.
#pragma once

namespace devsim {

// Exit status: 0 after a stop by SIGTERM or SIGINT (or --help), 1 when the devices cannot be
// set up, 2 for bad options.
int devsim_main(int argc, char** argv);

}  // namespace devsim
