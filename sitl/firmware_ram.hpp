#pragma once
// The built-in firmware's RAM as the process loaded it. A system reset puts the chip's RAM back to what
// start-up makes of the image; for the firmware compiled into the PC program that is the load-time state
// of its libraries' variables, which endpoint-sitl's link gathers into one range (firmware_ram.ld).
// Programs linked without that script (the node tests) have no such range and cannot power on twice.

namespace sitl {

// Copies the range aside. Call before any firmware code runs (first thing in main).
void keepFirmwareRamAsLoaded();

// Puts the copy back; false when there is no copy (no range, or never kept).
bool restoreFirmwareRam();

}  // namespace sitl
