// The whole program: start-up, identification, the two roads by device family, and where every
// road ends.
#pragma once

// Returns the process's exit status.
int installer_main(int argc, char** argv);
