#pragma once
// EEPROM emulation in the last two 128 KB flash sectors: up to NB_OF_VAR 16-bit variables, each write
// appended as a (value, virtual address) record to the active page; the newest record wins. A full page
// is compacted into the other one. Every state a power cut can leave is repaired by EE_Init without losing
// a variable: each keeps its latest value or, for the write that was cut, its previous one.

#include <cstdint>

#include "platform/interface/flash.hpp"

// Geometry.
inline constexpr uint32_t PAGE_SIZE = 0x20000U;
inline constexpr uint32_t FLASH_END = 0x080FFFFFU;
inline constexpr uint32_t EEPROM_START_ADDRESS = FLASH_END + 1U - 2U * PAGE_SIZE;
inline constexpr uint32_t PAGE0_BASE_ADDRESS = EEPROM_START_ADDRESS;
inline constexpr uint32_t PAGE0_END_ADDRESS = PAGE0_BASE_ADDRESS + PAGE_SIZE - 1U;
inline constexpr uint32_t PAGE1_BASE_ADDRESS = PAGE0_BASE_ADDRESS + PAGE_SIZE;
inline constexpr uint32_t PAGE1_END_ADDRESS = PAGE1_BASE_ADDRESS + PAGE_SIZE - 1U;
inline constexpr uint32_t PAGE0_ID = FLASH_Sector_10;
inline constexpr uint32_t PAGE1_ID = FLASH_Sector_11;
inline constexpr uint16_t PAGE0 = 0x0000U;
inline constexpr uint16_t PAGE1 = 0x0001U;
inline constexpr uint8_t VOLTAGE_RANGE = VoltageRange_3;
inline constexpr uint16_t NB_OF_VAR = 31U;

// Page status, the half-word at offset 0 of a page; any other value is invalid.
inline constexpr uint16_t ERASED = 0xFFFFU;
inline constexpr uint16_t RECEIVE_DATA = 0xEEEEU;
inline constexpr uint16_t VALID_PAGE = 0x0000U;

// Results besides the FLASH_Status codes (FLASH_COMPLETE is success).
inline constexpr uint16_t PAGE_FULL = 0x0080U;
inline constexpr uint16_t NO_VALID_PAGE = 0x00ABU;

// EE_FindValidPage operations.
inline constexpr uint8_t READ_FROM_VALID_PAGE = 0U;
inline constexpr uint8_t WRITE_IN_VALID_PAGE = 1U;

// Virtual addresses of variables are 1..EE_LAST_VIRT_ADDRESS. Address 0 marks the end of a page transfer's
// copy, and no torn record can read as another variable's address as long as the high byte is zero.
inline constexpr uint16_t EE_LAST_VIRT_ADDRESS = 0x00FFU;

// Virtual address of each variable; filled by the variable store before EE_Init.
extern uint16_t VirtAddVarTab[NB_OF_VAR];

// Repairs whatever a reset left and ends with one valid page; the other is the spare, erased, or left for
// EE_EraseSpare where the start-up found a valid page (no erase then, so that a start-up is short). Erases
// only a store with no valid page. Allows erasing (see EE_SetEraseAllowed). FLASH_COMPLETE, or the status
// of the flash operation that failed.
uint16_t EE_Init();

// Wipes every variable, in one step that a power cut either completes or leaves undone. FLASH_BUSY, with
// nothing changed, when it needs an erase that is not allowed.
FLASH_Status EE_Format();
// How many formats have run (wrapping): a caller compares two readings.
uint8_t EE_Formats();

// An erase stalls the chip, interrupts included, for a second or more: while not allowed, none starts.
// A page transfer or a format takes the spare erased ahead of need and leaves the old page's erase to
// EE_EraseSpare; only where the spare is not ready do they erase it first (refused while not allowed).
void EE_SetEraseAllowed(bool allowed);
bool EE_EraseAllowed();
// The spare page still needs its erase.
bool EE_ErasePending();
// Whether the spare is ready needs all its slots read, 128 KB, too long for one main-loop pass: this
// reads the next slice of them. True once the spare's state is known; from then on EE_ErasePending and
// EE_WriteNeedsErase read only the pages' first words.
bool EE_CheckSpare();
// The next write would need an erase: the valid page is full and the spare is not ready.
bool EE_WriteNeedsErase();
// Erases the spare if it needs it: FLASH_COMPLETE when ready (or nothing to do), FLASH_BUSY while erasing is
// not allowed, or the failed operation's status.
FLASH_Status EE_EraseSpare();

// 0: *Data holds the newest value; 1: never written (*Data untouched); NO_VALID_PAGE before EE_Init.
uint16_t EE_ReadVariable(uint16_t VirtAddress, uint16_t* Data);

// Appends a record, moving to the other page when this one is full. FLASH_COMPLETE on success;
// FLASH_ERROR_PROGRAM (nothing written) for an address outside 1..EE_LAST_VIRT_ADDRESS; FLASH_BUSY
// (nothing written) when the move would need an erase that is not allowed now.
uint16_t EE_WriteVariable(uint16_t VirtAddress, uint16_t Data);
