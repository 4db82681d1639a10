#pragma once
// The record the application leaves for the bootloader before the reset that starts an update: which bus,
// the node's ID there, the file server and the image's path. It lives in RAM that neither image's start-up
// touches (section .noinit, placed at the same address by both linker scripts), so it survives a system
// reset and nothing else; a power cut leaves random bits, which the check value rejects.

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t BOOT_HANDOFF_MAGIC = 0x55504454;  // "UPDT"
inline constexpr std::size_t BOOT_HANDOFF_PATH_MAX = 200;   // a uavcan.protocol.file.Path

struct BootHandoff {
    uint32_t magic;
    uint8_t bus;             // 0..2: CAN1..CAN3
    uint8_t node_id;         // the node's ID on that bus
    uint8_t server_node_id;  // the file server
    uint8_t path_len;
    uint8_t path[BOOT_HANDOFF_PATH_MAX];
    uint64_t check;  // CRC-64-WE of every byte before it, unused path bytes included
};
static_assert(sizeof(BootHandoff) == 216 && offsetof(BootHandoff, check) == 208);

// The record itself. The application fills its fields, then seals it just before the reset; the
// bootloader takes it.
extern BootHandoff bootHandoff;

// Makes the record valid: the magic and the check value over every field as it stands.
void bootHandoffSeal();

// True and the record copied to *out if a valid one is there; the record is invalidated either way, so the
// update it asks for is tried once per hand-off.
bool bootHandoffTake(BootHandoff* out);
