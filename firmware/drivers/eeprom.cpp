#include "firmware/drivers/eeprom.hpp"

#include "firmware/drivers/watchdog.hpp"

// How the store survives a power cut at any moment:
// - A record is programmed value first, then its address in two steps: the low byte (high byte still
//   0xFF), then the high byte. Whatever a cut leaves half programmed reads either as the right address or
//   as one that no variable has, never as another variable's.
// - A page transfer copies into the receiving page and then appends a commit record (value 0, address 0).
//   Only then is the old page erased. So a half-erased page, whatever its status half-word reads, always
//   sits beside a receiving page that ends in a commit record, and EE_Init never copies from it.
// - A page is erased again before it is written and wherever a repair follows a cut that may have hit an
//   erase, even when it reads all 0xFF: a cut erase can leave cells that read 1 without being erased. Only
//   the start-up's tidying of the page beside a valid one leaves a blank page alone.
// - An erase cut while it was still clearing the cells can leave a page of zeros, which reads as a valid
//   page of commit records. A real valid page's first record is a variable, except in an emptied store,
//   which has no other valid page beside it; so of two valid pages, one whose first record is a commit
//   record is such remains.
// - Erasing stops the whole chip for a second or two, so it happens only while allowed (EE_SetEraseAllowed),
//   and a transfer needs none: the spare page is erased ahead of need, and the half-word at offset 2 says
//   so (kSpareMark, programmed once its erase completed; a blank page without it may be a cut erase). A
//   transfer's or a format's old page is marked spent there (kSpentMark) instead of being erased at once;
//   EE_EraseSpare erases it when the caller chooses. A spent page is never read: whatever its status, a page whose offset 2
//   holds anything but 0xFFFF or kSpareMark waits for its erase (an erase cut into zeros or random bits
//   reads so too).
// The record layout and page states are unchanged; a commit record is just a record no variable reads.

namespace {

constexpr uint32_t kSlotBytes = 4U;
constexpr uint32_t kFirstSlot = 4U;  // the status word comes first
constexpr uint32_t kSlotsPerPage = (PAGE_SIZE - kFirstSlot) / kSlotBytes;
constexpr uint32_t kFreeWord = 0xFFFFFFFFU;
constexpr uint16_t kCommitAddress = 0x0000U;
constexpr uint16_t kCommitValue = 0x0000U;
constexpr uint32_t kCommitWord = (static_cast<uint32_t>(kCommitAddress) << 16) | kCommitValue;
constexpr uint16_t kAddressHighByte = 0xFF00U;
constexpr uint32_t kUnknown = 0U;  // NextSlot not scanned yet
constexpr uint32_t kMarkOffset = 2U;
constexpr uint16_t kNoMark = 0xFFFFU;
constexpr uint16_t kSpareMark = 0x5AA5U;  // the page's erase completed
constexpr uint16_t kSpentMark = 0x0000U;  // the page waits for its erase

static_assert(kSlotsPerPage == 32767U);
static_assert(EEPROM_START_ADDRESS == FLASH_DATA_START && 2U * PAGE_SIZE == FLASH_DATA_SIZE);
static_assert(PAGE0_BASE_ADDRESS == 0x080C0000U && PAGE1_BASE_ADDRESS == 0x080E0000U);
static_assert(PAGE1_END_ADDRESS == FLASH_END);
static_assert((EE_LAST_VIRT_ADDRESS & kAddressHighByte) == 0U);

// Values being copied, per variable. Not a local: a start-up may finish a transfer, and it runs on the main
// stack, whose small reserve the interrupts share.
uint16_t DataVar[NB_OF_VAR];

// Whether an erase may start now: it stalls the chip, interrupts included.
bool EraseAllowed = true;

// Per page: offset of the slot after the last used one, found by a scan from the end and then kept up
// to date, so neither writes nor reads walk the free part of the page. EE_Init and an erase rescan.
// While it is unknown, FreeFrom is where the scan has got to: every slot from there to the end is free.
uint32_t NextSlot[2];
uint32_t FreeFrom[2] = {PAGE_SIZE, PAGE_SIZE};  // as forgotten: a read before EE_Init scans the whole page

// The spare's blank check reads this much per EE_CheckSpare call: some 32000 cycles on the chip, where
// the whole page in one call (510000) outlasts what the CAN receive buffers hold at full load.
constexpr uint32_t kCheckSliceBytes = 8192U;

uint32_t pageBase(uint16_t page) { return page == PAGE0 ? PAGE0_BASE_ADDRESS : PAGE1_BASE_ADDRESS; }
uint32_t pageSector(uint16_t page) { return page == PAGE0 ? PAGE0_ID : PAGE1_ID; }
uint16_t otherPage(uint16_t page) { return page == PAGE0 ? PAGE1 : PAGE0; }

// The flash's half-words from the address on, read as plain memory.
const volatile uint16_t* halfWordsAt(uint32_t address) { return &FLASH_DataView[(address - FLASH_DATA_START) / 2U]; }

uint16_t readHalfWord(uint32_t address) { return *halfWordsAt(address); }

uint32_t readWord(uint32_t address)
{
    return static_cast<uint32_t>(readHalfWord(address)) | (static_cast<uint32_t>(readHalfWord(address + 2U)) << 16);
}

uint16_t pageStatus(uint16_t page) { return readHalfWord(pageBase(page)); }

bool isVariableAddress(uint16_t address) { return address != 0U && address <= EE_LAST_VIRT_ADDRESS; }

void forgetNextSlot(uint16_t page)
{
    NextSlot[page] = kUnknown;
    FreeFrom[page] = PAGE_SIZE;
}

// Goes on with the scan for the page's first free slot, reading at most budget bytes: its offset once
// found, else kUnknown.
uint32_t scanNextSlot(uint16_t page, uint32_t budget)
{
    if (NextSlot[page] != kUnknown) {
        return NextSlot[page];
    }
    // Free slots are the tail; a free word further down (a write that failed before it programmed
    // anything) is skipped, so the newest record always stays the last one.
    // Eight slots at a time while all are free (a mostly free page is most of a start-up's reading),
    // then slot by slot.
    constexpr uint32_t kRun = 8U * kSlotBytes;
    const uint32_t base = pageBase(page);
    uint32_t offset = FreeFrom[page];
    const uint32_t stop = offset - kFirstSlot > budget ? offset - budget : kFirstSlot;
    bool used = false;
    while (!used && offset >= stop + kRun) {
        const volatile uint16_t* const run = halfWordsAt(base + offset - kRun);
        uint16_t all = 0xFFFFU;
        for (uint32_t i = 0; i < kRun / 2U; ++i) {
            all = static_cast<uint16_t>(all & run[i]);
        }
        used = all != 0xFFFFU;
        if (!used) {
            offset -= kRun;
        }
    }
    while (offset > stop && readWord(base + offset - kSlotBytes) == kFreeWord) {
        offset -= kSlotBytes;
    }
    FreeFrom[page] = offset;
    if (offset == stop && stop > kFirstSlot) {
        return kUnknown;  // all free so far; the rest next time
    }
    NextSlot[page] = offset;
    return offset;
}

uint32_t nextSlot(uint16_t page) { return scanNextSlot(page, PAGE_SIZE); }

uint16_t pageMark(uint16_t page) { return readHalfWord(pageBase(page) + kMarkOffset); }

bool spent(uint16_t page)
{
    const uint16_t mark = pageMark(page);
    return mark != kNoMark && mark != kSpareMark;
}

// Erased by an erase that completed, and nothing written since.
bool spareReady(uint16_t page)
{
    return pageStatus(page) == ERASED && pageMark(page) == kSpareMark && nextSlot(page) == kFirstSlot;
}

// Visits the page's records newest first, as visit(address, value), until visit returns true; whether one
// did. The value comes as the flash half-word itself, read only by a visit that wants it.
template <typename Visit>
bool scanNewestFirst(uint16_t page, Visit visit)
{
    const volatile uint16_t* const halfWords = halfWordsAt(pageBase(page));
    for (uint32_t offset = nextSlot(page); offset > kFirstSlot; offset -= kSlotBytes) {
        const volatile uint16_t* const record = &halfWords[(offset - kSlotBytes) / 2U];  // value, then address
        if (visit(record[1], record[0])) {
            return true;
        }
    }
    return false;
}

// Newest record of the address in the page.
bool findRecord(uint16_t page, uint16_t address, uint16_t* value)
{
    return scanNewestFirst(page, [address, value](uint16_t recorded, const volatile uint16_t& recordedValue) {
        if (recorded != address) {
            return false;
        }
        *value = recordedValue;
        return true;
    });
}

// Newest record in the page of every variable of VirtAddVarTab, in one scan that stops once all are found:
// a transfer looking each one up alone would read the full page once per variable. Returns a mask, bit i set
// when values[i] holds variable i's value.
static_assert(NB_OF_VAR <= 32U);
uint32_t findRecords(uint16_t page, uint16_t (&values)[NB_OF_VAR])
{
    // The addresses still sought, one bit each, so that a record of any other costs a single test.
    constexpr uint32_t kBits = 32U;
    uint32_t sought[(EE_LAST_VIRT_ADDRESS + kBits) / kBits] = {};
    const auto isSought = [&sought](uint16_t address) {
        return address <= EE_LAST_VIRT_ADDRESS && ((sought[address / kBits] >> (address % kBits)) & 1U) != 0U;
    };
    const auto flip = [&sought](uint16_t address) { sought[address / kBits] ^= uint32_t{1} << (address % kBits); };
    uint32_t left = 0;
    for (const uint16_t address : VirtAddVarTab) {
        if (isVariableAddress(address) && !isSought(address)) {
            flip(address);
            ++left;
        }
    }
    uint32_t found = 0;
    (void)scanNewestFirst(page, [&](uint16_t address, const volatile uint16_t& recordedValue) {
        if (!isSought(address)) {
            return false;
        }
        flip(address);
        const uint16_t value = recordedValue;
        for (uint16_t i = 0; i < NB_OF_VAR; ++i) {
            if (VirtAddVarTab[i] == address) {
                values[i] = value;
                found |= uint32_t{1} << i;
            }
        }
        return --left == 0U;
    });
    return found;
}

bool lastIsCommit(uint16_t page)
{
    const uint32_t offset = nextSlot(page);
    return offset > kFirstSlot && readWord(pageBase(page) + offset - kSlotBytes) == kCommitWord;
}

// Appends one record to the page.
uint16_t programSlot(uint16_t page, uint16_t value, uint16_t address)
{
    const uint32_t offset = nextSlot(page);
    if (offset >= PAGE_SIZE) {
        return PAGE_FULL;
    }
    NextSlot[page] = offset + kSlotBytes;  // spent, whatever happens below
    const uint32_t at = pageBase(page) + offset;
    FLASH_Status status = FLASH_ProgramHalfWord(at, value);
    if (status == FLASH_COMPLETE) {
        status = FLASH_ProgramHalfWord(at + 2U, static_cast<uint16_t>(address | kAddressHighByte));
    }
    if (status == FLASH_COMPLETE) {
        status = FLASH_ProgramHalfWord(at + 2U, address);
    }
    return status;
}

FLASH_Status programStatus(uint16_t page, uint16_t status) { return FLASH_ProgramHalfWord(pageBase(page), status); }

// Erases the page whatever it reads (an erase that a power cut stopped can leave cells that read 1 without
// being fully erased, and only a complete erase makes them keep what is programmed next), then marks it
// ready. FLASH_BUSY, with nothing started, while erasing is not allowed.
FLASH_Status prepareSpare(uint16_t page)
{
    if (!EraseAllowed) {
        return FLASH_BUSY;
    }
    forgetNextSlot(page);
    watchdogLengthen();
    FLASH_Status status = FLASH_EraseSector(pageSector(page), VOLTAGE_RANGE);
    watchdogRestore();
    if (status == FLASH_COMPLETE) {
        NextSlot[page] = kFirstSlot;
        status = FLASH_ProgramHalfWord(pageBase(page) + kMarkOffset, kSpareMark);
    }
    return status;
}

FLASH_Status markSpent(uint16_t page) { return FLASH_ProgramHalfWord(pageBase(page) + kMarkOffset, kSpentMark); }

// What a status half-word says once programs cut short are taken into account.
enum class Kind { Erased, Receiving, Validating, Valid, Other };

Kind kindOf(uint16_t status)
{
    if (status == ERASED) {
        return Kind::Erased;
    }
    if (status == VALID_PAGE) {
        return Kind::Valid;
    }
    if ((status & RECEIVE_DATA) == RECEIVE_DATA) {
        return Kind::Receiving;  // RECEIVE_DATA, or its program cut short
    }
    if ((static_cast<uint32_t>(status) & ~static_cast<uint32_t>(RECEIVE_DATA)) == 0U) {
        return Kind::Validating;  // on its way from RECEIVE_DATA to VALID_PAGE
    }
    return Kind::Other;
}

bool receivingKind(Kind kind) { return kind == Kind::Receiving || kind == Kind::Validating; }

// A spent page counts as nothing, whatever its status reads.
Kind kindOfPage(uint16_t page) { return spent(page) ? Kind::Other : kindOf(pageStatus(page)); }

// Copies from src every variable that dst has no record of, commits, marks src spent and makes dst valid.
// src must still be intact: dst carries no commit record yet. src's erase is left to prepareSpare.
uint16_t finishTransfer(uint16_t src, uint16_t dst)
{
    const uint32_t inSrc = findRecords(src, DataVar);
    for (uint16_t i = 0; i < NB_OF_VAR; ++i) {
        const uint16_t address = VirtAddVarTab[i];
        uint16_t newer = 0;
        if (((inSrc >> i) & 1U) == 0U || findRecord(dst, address, &newer)) {
            continue;
        }
        const uint16_t status = programSlot(dst, DataVar[i], address);
        if (status != FLASH_COMPLETE) {
            return status;
        }
    }
    const uint16_t committed = programSlot(dst, kCommitValue, kCommitAddress);
    if (committed != FLASH_COMPLETE) {
        return committed;
    }
    const FLASH_Status marked = markSpent(src);
    if (marked != FLASH_COMPLETE) {
        return marked;
    }
    return programStatus(dst, VALID_PAGE);
}

bool liveWithStatus(uint16_t page, uint16_t status) { return pageStatus(page) == status && !spent(page); }

uint16_t EE_FindValidPage(uint8_t Operation)
{
    if (Operation != WRITE_IN_VALID_PAGE && Operation != READ_FROM_VALID_PAGE) {
        return PAGE0;
    }
    const uint16_t valid = liveWithStatus(PAGE0, VALID_PAGE)   ? PAGE0
                           : liveWithStatus(PAGE1, VALID_PAGE) ? PAGE1
                                                               : NO_VALID_PAGE;
    if (valid == NO_VALID_PAGE || Operation == READ_FROM_VALID_PAGE) {
        return valid;
    }
    // During a transfer, writes go to the receiving page while reads still come from the valid one.
    return liveWithStatus(otherPage(valid), RECEIVE_DATA) ? otherPage(valid) : valid;
}

uint16_t EE_VerifyPageFullWriteVariable(uint16_t VirtAddress, uint16_t Data)
{
    const uint16_t page = EE_FindValidPage(WRITE_IN_VALID_PAGE);
    if (page == NO_VALID_PAGE) {
        return NO_VALID_PAGE;
    }
    return programSlot(page, Data, VirtAddress);
}

uint16_t EE_PageTransfer(uint16_t VirtAddress, uint16_t Data)
{
    const uint16_t src = EE_FindValidPage(READ_FROM_VALID_PAGE);
    if (src == NO_VALID_PAGE) {
        return NO_VALID_PAGE;
    }
    const uint16_t dst = otherPage(src);
    FLASH_Status status = spareReady(dst) ? FLASH_COMPLETE : prepareSpare(dst);
    if (status == FLASH_COMPLETE) {
        status = programStatus(dst, RECEIVE_DATA);
    }
    if (status != FLASH_COMPLETE) {
        return status;
    }
    const uint16_t written = EE_VerifyPageFullWriteVariable(VirtAddress, Data);
    if (written != FLASH_COMPLETE) {
        return written;
    }
    return finishTransfer(src, dst);  // src's erase is EE_EraseSpare's
}

}  // namespace

uint16_t EE_Init()
{
    forgetNextSlot(PAGE0);
    forgetNextSlot(PAGE1);
    EraseAllowed = true;  // the start-up drives no output yet
    const uint16_t status0 = pageStatus(PAGE0);
    const uint16_t status1 = pageStatus(PAGE1);
    const Kind kind0 = kindOfPage(PAGE0);
    const Kind kind1 = kindOfPage(PAGE1);
    // A page beside the one kept that could later read as a valid or receiving page is marked spent.
    const auto retire = [](uint16_t page, Kind kind) {
        return kind == Kind::Valid || receivingKind(kind) ? markSpent(page) : FLASH_COMPLETE;
    };

    // A committed copy wins over anything beside it: that page was being retired, or was about to be.
    const bool committed0 = receivingKind(kind0) && lastIsCommit(PAGE0);
    const bool committed1 = receivingKind(kind1) && lastIsCommit(PAGE1);
    if (committed0 || committed1) {
        uint16_t dst = committed0 ? PAGE0 : PAGE1;
        if (committed0 && committed1 && status1 == RECEIVE_DATA && status0 != RECEIVE_DATA) {
            // The real copy still reads RECEIVE_DATA while the old page is retired; one already being
            // marked valid had a retired partner, so the pair cannot both be real.
            dst = PAGE1;
        }
        const FLASH_Status retired = retire(otherPage(dst), dst == PAGE0 ? kind1 : kind0);
        return retired != FLASH_COMPLETE ? retired : programStatus(dst, VALID_PAGE);
    }

    if (kind0 == Kind::Valid && kind1 == Kind::Valid) {
        // No transfer leaves two valid pages, but an erase cut while clearing its cells can (see the top).
        const bool empty0 = readWord(pageBase(PAGE0) + kFirstSlot) == kCommitWord;
        const bool empty1 = readWord(pageBase(PAGE1) + kFirstSlot) == kCommitWord;
        return empty0 != empty1 ? markSpent(empty0 ? PAGE0 : PAGE1) : EE_Format();
    }

    if (kind0 == Kind::Valid || kind1 == Kind::Valid) {
        const uint16_t src = kind0 == Kind::Valid ? PAGE0 : PAGE1;
        const uint16_t dst = otherPage(src);
        const Kind dstKind = src == PAGE0 ? kind1 : kind0;
        if (dstKind == Kind::Receiving) {
            // A transfer that had not committed: the valid page is intact, finish the copy from it.
            FLASH_Status status = FLASH_COMPLETE;
            if (pageStatus(dst) != RECEIVE_DATA) {
                status = programStatus(dst, RECEIVE_DATA);
            }
            if (status != FLASH_COMPLETE) {
                return status;
            }
            const uint16_t finished = finishTransfer(src, dst);
            if (finished != PAGE_FULL) {
                return finished;
            }
            // No room to finish in: the receiving page is not one a transfer filled; keep the valid page.
        }
        // The partner is left for its erase, which waits until erasing is allowed: no erase at a start-up
        // that finds a valid page, so that a node reset in flight is back on its outputs at once.
        return retire(dst, dstKind);
    }

    // A receiving page without a valid one beside it: its copy had finished before the old page went.
    const bool receiving0 = receivingKind(kind0);
    const bool receiving1 = receivingKind(kind1);
    if (receiving0 != receiving1) {
        return programStatus(receiving0 ? PAGE0 : PAGE1, VALID_PAGE);
    }

    return EE_Format();  // nothing worth keeping
}

namespace {
uint8_t formats;
}  // namespace

uint8_t EE_Formats() { return formats; }

FLASH_Status EE_Format()
{
    ++formats;
    // What is known of the pages' slots stays true: the erases below forget it for their page.
    const uint16_t valid = EE_FindValidPage(READ_FROM_VALID_PAGE);
    if (valid == NO_VALID_PAGE) {
        // Nothing to keep, so no order to respect: page 0 becomes the valid page, page 1 the spare.
        FLASH_Status status = prepareSpare(PAGE1);
        if (status == FLASH_COMPLETE) {
            status = prepareSpare(PAGE0);
        }
        return status != FLASH_COMPLETE ? status : programStatus(PAGE0, VALID_PAGE);
    }
    // Transfer nothing to the other page: a cut before the commit record leaves the old variables, one
    // after it an empty store.
    const uint16_t dst = otherPage(valid);
    FLASH_Status status = spareReady(dst) ? FLASH_COMPLETE : prepareSpare(dst);
    if (status == FLASH_COMPLETE) {
        status = programStatus(dst, RECEIVE_DATA);
    }
    if (status == FLASH_COMPLETE) {
        status = static_cast<FLASH_Status>(programSlot(dst, kCommitValue, kCommitAddress));
    }
    if (status == FLASH_COMPLETE) {
        status = markSpent(valid);
    }
    return status != FLASH_COMPLETE ? status : programStatus(dst, VALID_PAGE);
}

void EE_SetEraseAllowed(bool allowed) { EraseAllowed = allowed; }
bool EE_EraseAllowed() { return EraseAllowed; }

bool EE_ErasePending()
{
    const uint16_t valid = EE_FindValidPage(READ_FROM_VALID_PAGE);
    return valid != NO_VALID_PAGE && !spareReady(otherPage(valid));
}

bool EE_CheckSpare()
{
    const uint16_t valid = EE_FindValidPage(READ_FROM_VALID_PAGE);
    if (valid == NO_VALID_PAGE) {
        return true;
    }
    const uint16_t spare = otherPage(valid);
    // Only a page that reads as a marked spare needs its slots read; any other needs its erase.
    return pageStatus(spare) != ERASED || pageMark(spare) != kSpareMark ||
           scanNextSlot(spare, kCheckSliceBytes) != kUnknown;
}

bool EE_WriteNeedsErase()
{
    const uint16_t valid = EE_FindValidPage(READ_FROM_VALID_PAGE);
    return valid != NO_VALID_PAGE && nextSlot(valid) >= PAGE_SIZE && !spareReady(otherPage(valid));
}

FLASH_Status EE_EraseSpare()
{
    return EE_ErasePending() ? prepareSpare(otherPage(EE_FindValidPage(READ_FROM_VALID_PAGE))) : FLASH_COMPLETE;
}

uint16_t EE_ReadVariable(uint16_t VirtAddress, uint16_t* Data)
{
    const uint16_t page = EE_FindValidPage(READ_FROM_VALID_PAGE);
    if (page == NO_VALID_PAGE) {
        return NO_VALID_PAGE;
    }
    if (!isVariableAddress(VirtAddress) || !findRecord(page, VirtAddress, Data)) {
        return 1U;
    }
    return 0U;
}

uint16_t EE_WriteVariable(uint16_t VirtAddress, uint16_t Data)
{
    if (!isVariableAddress(VirtAddress)) {
        return FLASH_ERROR_PROGRAM;
    }
    uint16_t status = EE_VerifyPageFullWriteVariable(VirtAddress, Data);
    if (status == PAGE_FULL) {
        status = EE_PageTransfer(VirtAddress, Data);
    }
    return status;
}
