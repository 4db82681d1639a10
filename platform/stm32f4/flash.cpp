// The flash calls over the STM32F4 FLASH interface: half-word programming (PSIZE x16) and sector erase,
// each blocking until the interface is idle again. The same code drives the chip's interface and the
// simulator's model of it.
#include "platform/interface/flash.hpp"

#include "platform/interface/core.hpp"

namespace {

constexpr uint32_t kErrorFlags = FLASH_SR_OPERR | FLASH_SR_WRPERR | FLASH_SR_PGAERR | FLASH_SR_PGPERR |
                                 FLASH_SR_PGSERR | FLASH_SR_RDERR;
constexpr uint32_t kPsizeX16 = 1U << FLASH_CR_PSIZE_Pos;
constexpr uint32_t kLastSector = 11U;  // 1 MB part

bool dataSector(uint32_t sector_code) { return sector_code == FLASH_Sector_10 || sector_code == FLASH_Sector_11; }

bool appSector(uint32_t sector_code)
{
    const uint32_t sector = sector_code >> FLASH_CR_SNB_Pos;
    return sector >= FLASH_APP_FIRST_SECTOR && sector < FLASH_APP_FIRST_SECTOR + FLASH_APP_SIZE / FLASH_LARGE_SECTOR_SIZE;
}

bool appAddress(uint32_t address) { return address >= FLASH_APP_START && address - FLASH_APP_START < FLASH_APP_SIZE; }

bool dataAddress(uint32_t address)
{
    return address >= FLASH_DATA_START && address - FLASH_DATA_START < FLASH_DATA_SIZE;
}

// Waits for the running operation to end and reports how it ended.
FLASH_Status flashWait()
{
    while ((FLASH->SR & FLASH_SR_BSY) != 0U) {
        coreRelax();
    }
    const uint32_t sr = FLASH->SR;
    if ((sr & FLASH_SR_RDERR) != 0U) {
        return FLASH_ERROR_RD;
    }
    if ((sr & FLASH_SR_PGSERR) != 0U) {
        return FLASH_ERROR_PGS;
    }
    if ((sr & FLASH_SR_PGPERR) != 0U) {
        return FLASH_ERROR_PGP;
    }
    if ((sr & FLASH_SR_PGAERR) != 0U) {
        return FLASH_ERROR_PGA;
    }
    if ((sr & FLASH_SR_WRPERR) != 0U) {
        return FLASH_ERROR_WRP;
    }
    if ((sr & FLASH_SR_OPERR) != 0U) {
        return FLASH_ERROR_OPERATION;
    }
    return FLASH_COMPLETE;
}

// The error flags stick until written with 1: a stale one would fail every later operation.
void clearFlags() { FLASH->SR = kErrorFlags | FLASH_SR_EOP; }

// The data cache may still hold what the sectors read before the operation.
void flushDataCache()
{
    const uint32_t acr = FLASH->ACR;
    if ((acr & FLASH_ACR_DCEN) != 0U) {
        FLASH->ACR = acr & ~FLASH_ACR_DCEN;
        FLASH->ACR = (acr & ~FLASH_ACR_DCEN) | FLASH_ACR_DCRST;
        FLASH->ACR = acr & ~FLASH_ACR_DCEN;
        FLASH->ACR = acr;
    }
}

bool locked() { return (FLASH->CR & FLASH_CR_LOCK) != 0U; }

bool sectorCodeOk(uint32_t FLASH_Sector, uint8_t VoltageRange)
{
    return (FLASH_Sector & ~FLASH_CR_SNB) == 0U && (FLASH_Sector >> FLASH_CR_SNB_Pos) <= kLastSector &&
           VoltageRange <= VoltageRange_4;
}

// An erase and a program, checked: `Allowed` says whether the call may reach that sector or address. Each
// call gets its own copy: the node's image, which has no use for the bootloader's calls, stays as it was
// without them.
template <bool (*Allowed)(uint32_t)>
[[gnu::always_inline]] inline FLASH_Status erase(uint32_t FLASH_Sector, uint8_t VoltageRange)
{
    if (locked() || !sectorCodeOk(FLASH_Sector, VoltageRange)) {
        return FLASH_ERROR_PGS;
    }
    if (!Allowed(FLASH_Sector)) {
        return FLASH_ERROR_WRP;  // nothing on the chip would stop an erase of the running program
    }
    (void)flashWait();
    clearFlags();
    const uint32_t psize = static_cast<uint32_t>(VoltageRange) << FLASH_CR_PSIZE_Pos;
    // SNB is replaced, never OR-ed into a stale number, or another sector would go.
    FLASH->CR = (FLASH->CR & ~(FLASH_CR_PSIZE | FLASH_CR_SNB | FLASH_CR_PG | FLASH_CR_MER)) | psize |
                FLASH_CR_SER | FLASH_Sector;
    FLASH->CR |= FLASH_CR_STRT;
    const FLASH_Status status = flashWait();
    FLASH->CR &= ~(FLASH_CR_SER | FLASH_CR_SNB);
    clearFlags();
    flushDataCache();
    return status;
}

// `cells` are the half-words of the region from `start` on.
template <bool (*Allowed)(uint32_t)>
[[gnu::always_inline]] inline FLASH_Status program(uint32_t Address, uint16_t Data, HwReg16* cells, uint32_t start)
{
    if (locked()) {
        return FLASH_ERROR_PGS;
    }
    if ((Address & 1U) != 0U) {
        return FLASH_ERROR_PGA;
    }
    if (!Allowed(Address)) {
        return FLASH_ERROR_WRP;
    }
    (void)flashWait();
    clearFlags();
    FLASH->CR = (FLASH->CR & ~(FLASH_CR_PSIZE | FLASH_CR_SER | FLASH_CR_MER | FLASH_CR_SNB)) | kPsizeX16 |
                FLASH_CR_PG;
    cells[(Address - start) / 2U] = Data;
    const FLASH_Status status = flashWait();
    FLASH->CR &= ~FLASH_CR_PG;
    clearFlags();
    flushDataCache();
    return status;
}

}  // namespace

void FLASH_Unlock()
{
    if (locked()) {
        FLASH->KEYR = FLASH_KEY1;
        FLASH->KEYR = FLASH_KEY2;
    }
}

void FLASH_Lock() { FLASH->CR |= FLASH_CR_LOCK; }

FLASH_Status FLASH_EraseSector(uint32_t FLASH_Sector, uint8_t VoltageRange)
{
    return erase<dataSector>(FLASH_Sector, VoltageRange);
}

FLASH_Status FLASH_ProgramHalfWord(uint32_t Address, uint16_t Data)
{
    return program<dataAddress>(Address, Data, FLASH_DataWrite, FLASH_DATA_START);
}

FLASH_Status FLASH_EraseAppSector(uint32_t FLASH_Sector, uint8_t VoltageRange)
{
    return erase<appSector>(FLASH_Sector, VoltageRange);
}

FLASH_Status FLASH_ProgramAppHalfWord(uint32_t Address, uint16_t Data)
{
    return program<appAddress>(Address, Data, FLASH_AppWrite, FLASH_APP_START);
}
