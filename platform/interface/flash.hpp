#pragma once
// The flash calls the firmware names, with the vendor library's names, argument conventions and status
// codes. One driver (platform/stm32f4/flash.cpp) programs the FLASH interface registers on both chips:
// the real interface, or the simulator's model of it over NOR sectors 10 and 11.
//
// Programming and erasing name chip addresses and sector codes. The node's calls reach only the data
// sectors 10 and 11 (FLASH_DATA_START, FLASH_DATA_SIZE): the driver refuses anything that would touch the
// program. The bootloader's two calls reach only the application's sectors 5 to 9 (FLASH_APP_START,
// FLASH_APP_SIZE), never its own. Reading is a plain load through FLASH_DataView / FLASH_AppView (chip.hpp).

#include <cstdint>

#include "chip.hpp"

enum FLASH_Status : uint16_t {
    FLASH_BUSY = 1,
    FLASH_ERROR_RD = 2,
    FLASH_ERROR_PGS = 3,
    FLASH_ERROR_PGP = 4,
    FLASH_ERROR_PGA = 5,
    FLASH_ERROR_WRP = 6,
    FLASH_ERROR_PROGRAM = 7,
    FLASH_ERROR_OPERATION = 8,
    FLASH_COMPLETE = 9,
};

// Sector codes: the sector number already in place for FLASH_CR.SNB (bits 6:3).
inline constexpr uint32_t FLASH_Sector_5 = 5U << FLASH_CR_SNB_Pos;
inline constexpr uint32_t FLASH_Sector_10 = 10U << FLASH_CR_SNB_Pos;
inline constexpr uint32_t FLASH_Sector_11 = 11U << FLASH_CR_SNB_Pos;
static_assert(FLASH_Sector_10 == 0x0050U && FLASH_Sector_11 == 0x0058U);

// Supply voltage ranges; each selects the erase parallelism (FLASH_CR.PSIZE x8, x16, x32, x64).
inline constexpr uint8_t VoltageRange_1 = 0x00U;
inline constexpr uint8_t VoltageRange_2 = 0x01U;
inline constexpr uint8_t VoltageRange_3 = 0x02U;
inline constexpr uint8_t VoltageRange_4 = 0x03U;

// Opens the control register for erase and program (the two-key sequence), until FLASH_Lock or a reset.
void FLASH_Unlock();
// Closes it again; the store does so after each of its operations.
void FLASH_Lock();

// Sets the whole sector to 0xFF; blocks until done. FLASH_ERROR_PGS (nothing started) while locked or for
// a sector code or range that does not exist; FLASH_ERROR_WRP for a program sector.
FLASH_Status FLASH_EraseSector(uint32_t FLASH_Sector, uint8_t VoltageRange);

// Programs one half-word at an even address of the data sectors; bits only go from 1 to 0. Blocks until
// done. FLASH_ERROR_PGS while locked, FLASH_ERROR_PGA for an odd address, FLASH_ERROR_WRP outside the
// data sectors.
FLASH_Status FLASH_ProgramHalfWord(uint32_t Address, uint16_t Data);

// The bootloader's: as the two above, over the application's sectors 5 to 9 only (FLASH_ERROR_WRP for any
// other sector or address).
FLASH_Status FLASH_EraseAppSector(uint32_t FLASH_Sector, uint8_t VoltageRange);
FLASH_Status FLASH_ProgramAppHalfWord(uint32_t Address, uint16_t Data);
