#pragma once
// The bootloader's node on the bus: update mode, which reads an image from a file server into the
// application's sectors and starts it once it is whole, and maintenance mode, which keeps the chip in the
// bootloader and waits for a tool to ask for an image. Both run on the node's own drivers, transport,
// codecs and port pumps.

#include <cstdint>

#include "firmware/board/boot_handoff.hpp"

// What the bootloader reports as its software in GetNodeInfo.
inline constexpr uint8_t BOOTLOADER_VERSION_MAJOR = 0;
inline constexpr uint8_t BOOTLOADER_VERSION_MINOR = 1;

// Per request to the file server: the time an answer may take, and the tries before the server is taken
// for gone (the update then fails into maintenance).
inline constexpr uint32_t BOOT_READ_TIMEOUT_MS = 1000;
inline constexpr uint8_t BOOT_READ_ATTEMPTS = 5;

// Never returns. With a record: update mode on its bus with its node ID (allocation if it has none).
// Without one: maintenance on every bus, each port taking a node ID by allocation. An update that writes a
// valid application starts it; any failure (server gone, file error, too large, image refused) ends in
// maintenance, which takes BeginFirmwareUpdate again.
[[noreturn]] void bootloaderRun(const BootHandoff* record);
