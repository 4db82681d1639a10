#pragma once
// The simulated chip's flash behind the bootloader seen from outside: the application's sectors 5 to 9
// (5 x 128 KB at 0x08020000) and the data sectors 10 and 11 (2 x 128 KB at 0x080C0000). What tests and the
// SITL program use to reset it, keep the data sectors in a file, cut the power in the middle of an
// operation and look at the raw content. Firmware never includes this: it uses platform/interface/flash.hpp.
// The bootloader's sectors 0 to 4 are not modelled: an erase started there is a fatal error of the model.
//
// The model is NOR flash: an erase sets a whole sector to 0xFF, programming only clears bits (a program
// that would set a cleared bit leaves that bit cleared and is counted, see flashBitRaiseAttempts). The
// FLASH_* calls block, so an operation is complete when its call returns - unless the power goes.
//
// Time: an operation keeps BSY set for the datasheet's time (a half-word program 16 us, a 128 KB sector
// erase 1 s at the node's x32 parallelism; 100 us and 2 s at the maximum). The core cannot fetch from the
// one flash bank meanwhile: it stalls, interrupts included, until BSY clears (the host-compiled firmware
// at its next read of SR, the emulated core from the write that started the operation).
//
// Power loss: flashCutPower(n, seed) lets operation n (counted from the call) start and stops it part way.
// From then on the chip is off: every later erase or program changes nothing and reports FLASH_COMPLETE,
// so whatever the firmware still does until the test takes control again cannot touch the flash, and
// returns without a fatal stop. The test then power-cycles (flashPowerCycle) and starts the firmware again
// (EE_Init, InitNVM) on what the flash holds. What "part way" means is chosen by seed % 8:
//   half-word program: of the bits the program was clearing, 0 none yet; 1 all; 2 all but one; 3 just
//                      one; 4..7 a random subset (which bits, from the seed).
//   sector erase:      0 nothing changed yet; 1 fully erased; 2 a leading part erased, the rest old;
//                      3 a trailing part erased, the start (the page status among it) still old;
//                      4 random bits everywhere; 5 the old content with random cleared bits set again;
//                      6 random bits, except the first word, which still reads as before; 7 every bit
//                      0 (an erase that was still programming its cells to 0, as erasing begins).

#include <cstdint>
#include <string>
#include <vector>

#include "platform/interface/flash.hpp"

namespace sim {

inline constexpr uint32_t kFlashSectorSize = 0x20000U;
inline constexpr uint32_t kFlashSector10 = FLASH_DATA_START;
inline constexpr uint32_t kFlashSector11 = FLASH_DATA_START + kFlashSectorSize;
static_assert(2U * kFlashSectorSize == FLASH_DATA_SIZE);

// Factory-new: both sectors erased, the interface locked, counters at zero, nothing armed, no file.
void flashReset();
// Off and on again: the content stays; the interface is locked again and a cut or failure armed or
// happened is cleared.
void flashPowerCycle();

// Typical times (the default after flashReset) or the maximum ones, for worst-case runs.
enum class FlashTiming { Typical, Maximum };
void flashSetTiming(FlashTiming timing);
// When the operation under way ends, in virtual ns; 0 while none runs.
uint64_t flashBusyUntilNs();

// Erase and program operations the model carried out (or cut) since flashReset(); refused ones (locked,
// bad address) do not count.
uint64_t flashOperations();

// Operation n from now (n >= 1) is cut short as seed says, and the power stays off until flashPowerCycle().
void flashCutPower(uint64_t n, uint64_t seed);
bool flashPowerLost();

// Operation n from now (n >= 1) reports status and changes nothing; later ones work again.
void flashFailOperation(uint64_t n, FLASH_Status status);

// Write protection of a sector 5..11 by its option byte (nWRP cleared), as a programmer sets it; it takes
// effect at once (the option bytes reloaded) and lasts until changed or flashReset(). Every erase or
// program of a protected sector changes nothing and sets WRPERR (FLASH_ERROR_WRP); reads are unaffected.
void flashSetWriteProtection(unsigned sector, bool on);

// Complete erases of sector 5..11 since flashReset() (wear; cut erases not included).
uint32_t flashEraseCount(unsigned sector);
// Programs that asked for a 0 bit to become 1 (flash cannot do that; the bit stayed 0).
uint64_t flashBitRaiseAttempts();

// Raw content for tests, without NOR rules and not counted (a file in use follows), anywhere in sectors 5..11.
uint16_t flashPeek16(uint32_t address);
uint32_t flashPeek32(uint32_t address);
// Whether [address, address + bytes) reads all 0xFF (false if any of it lies outside sectors 5..11).
bool flashErased(uint32_t address, uint32_t bytes);
void flashPoke16(uint32_t address, uint16_t value);
// `count` bytes (even, at an even address) as a programmer leaves them: how an image reaches the model.
void flashLoad(uint32_t address, const uint8_t* bytes, uint32_t count);
std::vector<uint16_t> flashImage();
void flashSetImage(const std::vector<uint16_t>& image);  // the data sectors: FLASH_DATA_SIZE / 2 half-words

// Keeps the content in a file, raw and little-endian: the data sectors (256 KB), or sectors 5 to 11 (896 KB:
// the application too). An existing file of either size is loaded as what it holds; anything else is
// replaced by erased flash, of the data sectors or, `whole`, of sectors 5 to 11. Every later change is
// written through at once, so the content survives the process. False (and no file in use) when the file
// cannot be read or written.
bool flashUseFile(const std::string& path, bool whole = false);
// The file in use holds sectors 5 to 11 and held an application when it was loaded: the application's
// sectors are the file's, not an image's.
bool flashFileHoldsApplication();
void flashCloseFile();

}  // namespace sim
