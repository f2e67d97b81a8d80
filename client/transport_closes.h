// What the command transport tells the executor beyond its public contract: whether it has
// closed a handle after a failure, so that no later step of the same run touches it.
#pragma once

// Number of handles the transport has closed with usb_close since the process started.
unsigned transport_close_count();
