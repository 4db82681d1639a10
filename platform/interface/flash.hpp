#pragma once
// The flash calls the firmware names, with the vendor library's names, argument conventions and status
// codes, declared once for both chips. The chip programs its FLASH interface (platform/stm32f413/flash.cpp);
// the simulator runs them on its NOR model of sectors 10 and 11 (platform/sim/flash.cpp).
//
// Programming and erasing always name chip addresses and sector codes. Reading is a plain load through
// FLASH_DataView, which is where the CPU sees the data sectors: their own address on the chip, the model's
// memory in the simulator.

#include <cstdint>

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
inline constexpr uint32_t FLASH_Sector_10 = 0x0050U;
inline constexpr uint32_t FLASH_Sector_11 = 0x0058U;

// Supply voltage ranges; each selects the erase parallelism (FLASH_CR.PSIZE x8, x16, x32, x64).
inline constexpr uint8_t VoltageRange_1 = 0x00U;
inline constexpr uint8_t VoltageRange_2 = 0x01U;
inline constexpr uint8_t VoltageRange_3 = 0x02U;
inline constexpr uint8_t VoltageRange_4 = 0x03U;

// Opens the control register for erase and program until the next reset.
void FLASH_Unlock();

// Sets the whole sector to 0xFF; blocks until done. FLASH_ERROR_PGS (nothing started) while locked or for
// a sector code or range that does not exist.
FLASH_Status FLASH_EraseSector(uint32_t FLASH_Sector, uint8_t VoltageRange);

// Programs one half-word at an even address; bits only go from 1 to 0. Blocks until done.
FLASH_Status FLASH_ProgramHalfWord(uint32_t Address, uint16_t Data);

// The data sectors 10 and 11 (the last 256 KB of the 1 MB part) and where the CPU reads them.
inline constexpr uint32_t FLASH_DATA_START = 0x080C0000U;
inline constexpr uint32_t FLASH_DATA_SIZE = 0x00040000U;
extern const volatile uint16_t* const FLASH_DataView;  // FLASH_DataView[i]: the half-word at START + 2 i
