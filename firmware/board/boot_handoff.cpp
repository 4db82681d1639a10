#include "firmware/board/boot_handoff.hpp"

#include "firmware/board/crc64we.hpp"

// Never initialised by start-up: the linker scripts place .noinit outside .data and .bss.
__attribute__((section(".noinit"))) BootHandoff bootHandoff;

namespace {

uint64_t checkOf(const BootHandoff& record)
{
    return crc64weFinal(
        crc64weAdd(CRC64WE_INITIAL, reinterpret_cast<const uint8_t*>(&record), offsetof(BootHandoff, check)));
}

}  // namespace

void bootHandoffSeal()
{
    bootHandoff.magic = BOOT_HANDOFF_MAGIC;
    bootHandoff.check = checkOf(bootHandoff);
}

bool bootHandoffTake(BootHandoff* out)
{
    const bool valid = bootHandoff.magic == BOOT_HANDOFF_MAGIC && bootHandoff.check == checkOf(bootHandoff) &&
                       bootHandoff.path_len <= BOOT_HANDOFF_PATH_MAX;
    if (valid) {
        *out = bootHandoff;
    }
    bootHandoff.magic = 0;
    return valid;
}
