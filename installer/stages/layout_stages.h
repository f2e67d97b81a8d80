// The storage layouts of the models: which partition-table images a device gets and where the
// second system's area begins on it; the storage-variant switch and the partition-table stage.
#pragma once

#include <cstdint>

#include "installer/steps/run.h"
#include "payload/payload.h"

struct storage_layout {
    const payload_image* mbr;   // main partition table, written to "xzmbr" at address 0
    const payload_image* embr;  // extended table of the second system's area, to "xembr"
    uint32_t embr_base;         // where "xembr" lies on the device
    uint32_t vemkit_base_new;   // where the second system's kernel lies (embr_base + 1 MiB)
};

// The layout of the stored board id's model (the default layout for one without its own).
storage_layout board_layout();

// The "respcb" value the package's marker file asks for on this VRX3 device (the board id): the
// other storage size's code when that size's marker ("ver32g.bin" on a 4 GB unit, "ver4g.bin"
// on a 32 GB one) is a non-empty file; null when no switch is asked for.
const char* variant_request();

// The stages of the road after the menu that change the layout, each returning 0 to go on or -1
// after its own error line: the storage-variant switch of the VRX3 family, then the partition
// tables.
[[nodiscard]] int variant_switch_stage(InstallRun& run);
[[nodiscard]] int partition_stage(InstallRun& run);
