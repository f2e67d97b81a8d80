// tessaro-installer: installs the firmware package in the current directory on one device.
#include "installer/flow/flow.h"

int main(int argc, char** argv) {
    return installer_main(argc, argv);
}
