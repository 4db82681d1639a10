// The simulated flash: the FLASH interface registers (two-key unlock, lock, program and sector erase
// sequences, status and error flags, access control) over a NOR model of the application's sectors 5 to 9
// and the data sectors 10 and 11, with power-loss and error injection and an optional backing file of the
// data sectors. See sim_flash.hpp for the rules.
#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

#include "platform/sim/internal.hpp"
#include "platform/sim/sim_flash.hpp"

namespace sim {

uint16_t flashCellContent[(FLASH_APP_SIZE + FLASH_DATA_SIZE) / 2U];

namespace {

constexpr uint32_t kHalfWords = FLASH_DATA_SIZE / 2U;
constexpr uint32_t kAppHalfWords = FLASH_APP_SIZE / 2U;
constexpr uint32_t kCells = kAppHalfWords + kHalfWords;
constexpr uint32_t kSectorHalfWords = kFlashSectorSize / 2U;
constexpr unsigned kTearShapes = 8U;
constexpr uint32_t kFirstSector = FLASH_APP_FIRST_SECTOR;
constexpr uint32_t kModelSectors = kCells / kSectorHalfWords;
static_assert(kFlashSectorSize == FLASH_LARGE_SECTOR_SIZE && kModelSectors == 7U);

uint16_t* const g_cells = flashCellContent;  // from FLASH_APP_START
uint16_t* const g_mem = flashContent;        // from FLASH_DATA_START

struct State {
    bool dead = false;  // the power went during an operation, or the chip was reset
    FlashTiming timing = FlashTiming::Typical;
    uint64_t operations = 0;
    uint64_t cutAt = 0;  // operation number to cut, 0 = none
    uint64_t cutSeed = 0;
    uint64_t failAt = 0;
    FLASH_Status failStatus = FLASH_COMPLETE;
    uint32_t erases[kModelSectors] = {};
    uint64_t bitRaises = 0;
    uint32_t writeProtected = 0;  // bit per sector: its option byte's nWRP bit cleared
    std::FILE* file = nullptr;
    bool fileWhole = false;       // the file holds sectors 5 to 11, not the data sectors only
    bool fileHeldApplication = false;  // ...and held an application when it was loaded
};
State g;

bool inModel(uint32_t address, uint32_t bytes)
{
    return address >= FLASH_APP_START && address - FLASH_APP_START <= FLASH_APP_SIZE + FLASH_DATA_SIZE - bytes;
}

// The cell of an address of the model.
uint32_t indexOf(uint32_t address) { return (address - FLASH_APP_START) / 2U; }

// Writes cells [first, first + count) through to the backing file, as far as it holds them.
void persistCells(uint32_t first, uint32_t count)
{
    const uint32_t fileStart = g.fileWhole ? 0U : kAppHalfWords;
    const uint32_t end = first + count;
    if (g.file == nullptr || end <= fileStart) {
        return;
    }
    first = std::max(first, fileStart);
    count = end - first;
    unsigned char bytes[2 * 256] = {};
    if (std::fseek(g.file, static_cast<long>(first - fileStart) * 2L, SEEK_SET) != 0) {
        simFatal("flash file: cannot write: %s", std::strerror(errno));
    }
    for (uint32_t done = 0; done < count;) {
        const uint32_t chunk = (count - done < 256U) ? count - done : 256U;
        for (std::size_t i = 0; i < chunk; ++i) {
            const uint16_t v = g_cells[first + done + i];
            bytes[2U * i] = static_cast<unsigned char>(v & 0xFFU);
            bytes[2U * i + 1U] = static_cast<unsigned char>(v >> 8);
        }
        if (std::fwrite(bytes, 2U, chunk, g.file) != chunk) {
            simFatal("flash file: cannot write: %s", std::strerror(errno));
        }
        done += chunk;
    }
    if (std::fflush(g.file) != 0) {
        simFatal("flash file: cannot write: %s", std::strerror(errno));
    }
}

// Half-words [first, first + count) of the data sectors.
void persist(uint32_t first, uint32_t count) { persistCells(kAppHalfWords + first, count); }

void fillErased(uint32_t first, uint32_t count) { std::memset(g_mem + first, 0xFF, std::size_t{count} * 2U); }

// Counts an operation and says whether it runs, runs and is cut short, or is refused (with *status).
enum class Admit { Run, Cut, Refuse };

Admit admit(FLASH_Status* status)
{
    *status = FLASH_COMPLETE;
    if (g.dead) {
        return Admit::Refuse;
    }
    ++g.operations;
    if (g.failAt != 0U && g.operations == g.failAt) {
        g.failAt = 0;
        *status = g.failStatus;
        return Admit::Refuse;
    }
    if (g.cutAt != 0U && g.operations == g.cutAt) {
        g.cutAt = 0;
        g.dead = true;
        return Admit::Cut;
    }
    return Admit::Run;
}

void program(uint32_t index, uint16_t data, bool cut)
{
    const uint16_t old = g_cells[index];
    if ((data & ~old & 0xFFFFU) != 0U) {
        ++g.bitRaises;
    }
    uint16_t clearing = static_cast<uint16_t>(old & ~data);
    if (cut && clearing != 0U) {
        std::mt19937_64 rng(g.cutSeed);
        // One bit of those being cleared, picked at random.
        const auto oneBit = [&rng, clearing] {
            unsigned pick = static_cast<unsigned>(rng() % static_cast<unsigned>(std::popcount(clearing)));
            for (uint16_t bit = 1U;; bit = static_cast<uint16_t>(bit << 1)) {
                if ((clearing & bit) != 0U && pick-- == 0U) {
                    return bit;
                }
            }
        };
        switch (static_cast<unsigned>(g.cutSeed % kTearShapes)) {
        case 0:
            clearing = 0;
            break;
        case 1:
            break;
        case 2:
            clearing = static_cast<uint16_t>(clearing & ~oneBit());
            break;
        case 3:
            clearing = oneBit();
            break;
        default:
            clearing = static_cast<uint16_t>(clearing & rng());
            break;
        }
    }
    g_cells[index] = static_cast<uint16_t>(old & ~clearing);
    persistCells(index, 1U);
}

void fillCellsErased(uint32_t first, uint32_t count)
{
    std::memset(g_cells + first, 0xFF, std::size_t{count} * 2U);
}

void tearErase(uint32_t first)
{
    std::mt19937_64 rng(g.cutSeed);
    uint16_t* s = &g_cells[first];
    const uint32_t split = static_cast<uint32_t>(rng() % kSectorHalfWords);
    switch (static_cast<unsigned>(g.cutSeed % kTearShapes)) {
    case 0:
        break;
    case 1:
        fillCellsErased(first, kSectorHalfWords);
        break;
    case 2:
        fillCellsErased(first, split + 1U);
        break;
    case 3:
        fillCellsErased(first + 2U + split % (kSectorHalfWords - 2U),
                        kSectorHalfWords - 2U - split % (kSectorHalfWords - 2U));
        break;
    case 5:
        for (uint32_t i = 0; i < kSectorHalfWords; ++i) {
            const auto a = rng();  // two draws ANDed: a quarter of the bits
            s[i] = static_cast<uint16_t>(s[i] | (a & rng()));
        }
        break;
    case 6:
        for (uint32_t i = 2; i < kSectorHalfWords; ++i) {
            s[i] = static_cast<uint16_t>(rng());
        }
        break;
    case 7:
        std::fill(s, s + kSectorHalfWords, uint16_t{0});
        break;
    default:
        for (uint32_t i = 0; i < kSectorHalfWords; ++i) {
            s[i] = static_cast<uint16_t>(rng());
        }
        break;
    }
    persistCells(first, kSectorHalfWords);
}

// The SR flag an injected failure raises, as the chip would report it.
uint32_t errorFlagFor(FLASH_Status status)
{
    switch (status) {
    case FLASH_ERROR_RD: return FLASH_SR_RDERR;
    case FLASH_ERROR_PGS: return FLASH_SR_PGSERR;
    case FLASH_ERROR_PGP: return FLASH_SR_PGPERR;
    case FLASH_ERROR_PGA: return FLASH_SR_PGAERR;
    case FLASH_ERROR_WRP: return FLASH_SR_WRPERR;
    case FLASH_ERROR_OPERATION: return FLASH_SR_OPERR;
    default: simFatal("flash status %u has no error flag to inject", static_cast<unsigned>(status));
    }
}

constexpr uint32_t kErrorFlags =
    FLASH_SR_OPERR | FLASH_SR_WRPERR | FLASH_SR_PGAERR | FLASH_SR_PGPERR | FLASH_SR_PGSERR | FLASH_SR_RDERR;
constexpr uint32_t kAcrBits = FLASH_ACR_LATENCY | FLASH_ACR_PRFTEN | FLASH_ACR_ICEN | FLASH_ACR_DCEN |
                              FLASH_ACR_ICRST | FLASH_ACR_DCRST;
constexpr uint32_t kCrBits = FLASH_CR_PG | FLASH_CR_SER | FLASH_CR_MER | FLASH_CR_SNB | FLASH_CR_PSIZE |
                             FLASH_CR_EOPIE | FLASH_CR_ERRIE | FLASH_CR_LOCK;
constexpr uint32_t kOptcrReset = 0x00000014U;
constexpr unsigned kOptcrNwrpPos = 16U;
constexpr uint32_t kSectors = 12U;

bool writeProtected(uint32_t sector) { return ((g.writeProtected >> sector) & 1U) != 0U; }

// The datasheet's times: a half-word program, and a 128 KB sector erase by parallelism (PSIZE x8, x16, x32;
// x64 erases as fast as x32 here, the table stopping there).
constexpr uint64_t kProgramNs[2] = {16000U, 100000U};
constexpr uint64_t kEraseNs[2][4] = {
    {2000000000U, 1300000000U, 1000000000U, 1000000000U},
    {4000000000U, 2600000000U, 2000000000U, 2000000000U},
};

// The FLASH interface. An operation changes the cells when it starts and keeps BSY set for its time; the
// core cannot fetch from flash meanwhile, so a read of SR while BSY is set stalls it (virtual time passes,
// no interrupt is taken) until the operation ends.
class FlashInterface final : public Peripheral {
public:
    FlashInterface() : Peripheral("FLASH", &registers.flash, sizeof(FLASH_TypeDef)) {}

    uint32_t read(uint32_t offset, unsigned width) override
    {
        if (offset == offsetof(FLASH_TypeDef, KEYR) || offset == offsetof(FLASH_TypeDef, OPTKEYR)) {
            return 0;  // write-only
        }
        if (offset == offsetof(FLASH_TypeDef, SR) && (sr() & FLASH_SR_BSY) != 0U) {
            stallCore(busyUntilNs_);
            registers.flash.SR.poke(sr() & ~FLASH_SR_BSY);
        }
        return stored(offset, width);
    }

    // When the running operation ends (0: none runs).
    uint64_t busyUntilNs() const { return (sr() & FLASH_SR_BSY) != 0U ? busyUntilNs_ : 0U; }

    void write(uint32_t offset, uint32_t value, unsigned width) override
    {
        if (width != 4U) {
            simFatal("FLASH register offset 0x%x written with %u bytes: the interface takes words", offset, width);
        }
        switch (offset) {
        case offsetof(FLASH_TypeDef, ACR): store(offset, value & kAcrBits, 4); break;
        case offsetof(FLASH_TypeDef, KEYR): key(value); break;
        case offsetof(FLASH_TypeDef, SR): store(offset, sr() & ~(value & (kErrorFlags | FLASH_SR_EOP)), 4); break;
        case offsetof(FLASH_TypeDef, CR): control(value); break;
        default: store(offset, value, 4); break;  // option bytes: stored, never acted on
        }
    }

    void reset() override
    {
        clearBlock();
        registers.flash.CR.poke(FLASH_CR_LOCK);
        // The option bytes are loaded at reset: nWRP reads 1 for every sector not write-protected.
        const uint32_t nwrp = ((1U << kSectors) - 1U) & ~g.writeProtected;
        registers.flash.OPTCR.poke(kOptcrReset | (nwrp << kOptcrNwrpPos));
        keysSeen_ = 0;
        lockedUntilReset_ = false;
        busyUntilNs_ = 0;
    }

    // A write into the data sectors: programs the half-word if the interface is set up for it.
    void programCell(uint32_t index, uint32_t value, unsigned width)
    {
        if (g.dead) {
            return;
        }
        const uint32_t c = cr();
        if ((c & FLASH_CR_LOCK) != 0U || (c & FLASH_CR_PG) == 0U || (c & (FLASH_CR_SER | FLASH_CR_MER)) != 0U) {
            raise(FLASH_SR_PGSERR);  // a write to flash outside the programming sequence
            return;
        }
        if (((c & FLASH_CR_PSIZE) >> FLASH_CR_PSIZE_Pos) != 1U || width != 2U) {
            raise(FLASH_SR_PGPERR);  // the access size must match PSIZE; the model knows x16 only
            return;
        }
        if (writeProtected(kFirstSector + index / kSectorHalfWords)) {
            raise(FLASH_SR_WRPERR);  // nothing is programmed
            return;
        }
        FLASH_Status status = FLASH_COMPLETE;
        const Admit a = admit(&status);
        if (a == Admit::Refuse) {
            raise(errorFlagFor(status));
            return;
        }
        program(index, static_cast<uint16_t>(value), a == Admit::Cut);
        busyFor(kProgramNs[static_cast<unsigned>(g.timing)]);
        done();
    }

private:
    uint32_t sr() const { return registers.flash.SR.peek(); }
    uint32_t cr() const { return registers.flash.CR.peek(); }
    void raise(uint32_t flags) { registers.flash.SR.poke(sr() | flags); }
    void done()
    {
        if ((cr() & FLASH_CR_EOPIE) != 0U) {
            raise(FLASH_SR_EOP);  // set only with its interrupt enabled
        }
    }

    // KEY1 then KEY2 unlocks CR; anything else locks it until the next reset.
    void key(uint32_t value)
    {
        if (lockedUntilReset_ || (cr() & FLASH_CR_LOCK) == 0U) {
            return;
        }
        const uint32_t expected = keysSeen_ == 0U ? FLASH_KEY1 : FLASH_KEY2;
        if (value != expected) {
            lockedUntilReset_ = true;
            keysSeen_ = 0;
            return;
        }
        if (++keysSeen_ == 2U) {
            keysSeen_ = 0;
            registers.flash.CR.poke(cr() & ~FLASH_CR_LOCK);
        }
    }

    void busyFor(uint64_t ns)
    {
        busyUntilNs_ = nowNs() + ns;
        raise(FLASH_SR_BSY);
    }

    void control(uint32_t value)
    {
        if ((cr() & FLASH_CR_LOCK) != 0U) {
            return;  // locked: not writable
        }
        store(offsetof(FLASH_TypeDef, CR), value & kCrBits, 4);
        if ((value & FLASH_CR_STRT) == 0U || g.dead) {
            return;
        }
        if ((value & FLASH_CR_MER) != 0U) {
            simFatal("mass erase started: it would erase the program");
        }
        if ((value & FLASH_CR_SER) == 0U || (value & FLASH_CR_PG) != 0U) {
            raise(FLASH_SR_PGSERR);
            return;
        }
        const uint32_t sector = (value & FLASH_CR_SNB) >> FLASH_CR_SNB_Pos;
        if (sector < kFirstSector || sector >= kFirstSector + kModelSectors) {
            simFatal("erase of sector %u started: it would erase the bootloader", sector);
        }
        if (writeProtected(sector)) {
            raise(FLASH_SR_WRPERR);  // nothing is erased
            return;
        }
        FLASH_Status status = FLASH_COMPLETE;
        const Admit a = admit(&status);
        if (a == Admit::Refuse) {
            raise(errorFlagFor(status));
            return;
        }
        const uint32_t first = (sector - kFirstSector) * kSectorHalfWords;
        if (a == Admit::Cut) {
            tearErase(first);
        } else {
            fillCellsErased(first, kSectorHalfWords);
            persistCells(first, kSectorHalfWords);
            ++g.erases[sector - kFirstSector];
        }
        busyFor(kEraseNs[static_cast<unsigned>(g.timing)][(value & FLASH_CR_PSIZE) >> FLASH_CR_PSIZE_Pos]);
        done();
    }

    unsigned keysSeen_ = 0;
    bool lockedUntilReset_ = false;
    uint64_t busyUntilNs_ = 0;
};

FlashInterface& flashInterface()
{
    static FlashInterface model;
    return model;
}

// The modelled sectors as the CPU writes them (and reads them, where a read goes through a register).
class FlashMemory final : public Peripheral {
public:
    FlashMemory() : Peripheral("flash sectors 5 to 11", registers.flashCells, sizeof(registers.flashCells)) {}

    uint32_t read(uint32_t offset, unsigned width) override
    {
        const uint32_t half = g_cells[offset / 2U];
        if (width == 1U) {
            return (half >> (8U * (offset & 1U))) & 0xFFU;
        }
        return width == 4U ? half | (static_cast<uint32_t>(g_cells[offset / 2U + 1U]) << 16) : half;
    }

    void write(uint32_t offset, uint32_t value, unsigned width) override
    {
        flashInterface().programCell(offset / 2U, value, width);
    }

    void reset() override {}  // the content survives every reset
};

const bool g_factoryNew = [] {
    flashReset();
    return true;
}();

}  // namespace

void flashReset()
{
    flashCloseFile();
    fillCellsErased(0, kCells);
    g = State{};
    flashInterface().reset();
}

void flashSetTiming(FlashTiming timing) { g.timing = timing; }

uint64_t flashBusyUntilNs() { return flashInterface().busyUntilNs(); }

void flashHoldUntilPowerCycle() { g.dead = true; }

Peripheral& flashInterfaceModel() { return flashInterface(); }

Peripheral& flashMemoryModel()
{
    static FlashMemory model;
    return model;
}

void flashPowerCycle()
{
    flashInterface().reset();
    g.dead = false;
    g.cutAt = 0;
    g.failAt = 0;
}

uint64_t flashOperations() { return g.operations; }

void flashCutPower(uint64_t n, uint64_t seed)
{
    g.cutAt = (n == 0U) ? 0U : g.operations + n;
    g.cutSeed = seed;
}

bool flashPowerLost() { return g.dead; }

void flashFailOperation(uint64_t n, FLASH_Status status)
{
    g.failAt = (n == 0U) ? 0U : g.operations + n;
    g.failStatus = status;
}

void flashSetWriteProtection(unsigned sector, bool on)
{
    if (sector >= kFirstSector && sector < kFirstSector + kModelSectors) {
        g.writeProtected = on ? g.writeProtected | (1U << sector) : g.writeProtected & ~(1U << sector);
    }
    flashInterface().reset();  // the option bytes take effect at the next reset
}

uint32_t flashEraseCount(unsigned sector)
{
    return sector >= kFirstSector && sector < kFirstSector + kModelSectors ? g.erases[sector - kFirstSector] : 0U;
}

uint64_t flashBitRaiseAttempts() { return g.bitRaises; }

uint16_t flashPeek16(uint32_t address) { return inModel(address, 2U) ? g_cells[indexOf(address)] : 0U; }

uint32_t flashPeek32(uint32_t address)
{
    return static_cast<uint32_t>(flashPeek16(address)) | (static_cast<uint32_t>(flashPeek16(address + 2U)) << 16);
}

bool flashErased(uint32_t address, uint32_t bytes)
{
    if (!inModel(address, bytes) || (address & 1U) != 0U || (bytes & 1U) != 0U) {
        return false;
    }
    return std::all_of(g_cells + indexOf(address), g_cells + indexOf(address) + bytes / 2U,
                       [](uint16_t half) { return half == 0xFFFFU; });
}

void flashPoke16(uint32_t address, uint16_t value)
{
    if (inModel(address, 2U) && (address & 1U) == 0U) {
        g_cells[indexOf(address)] = value;
        persistCells(indexOf(address), 1U);
    }
}

void flashLoad(uint32_t address, const uint8_t* bytes, uint32_t count)
{
    if (!inModel(address, count) || (address & 1U) != 0U || (count & 1U) != 0U) {
        simFatal("flash load of %u bytes at 0x%08x: outside sectors 5 to 11", count, address);
    }
    for (uint32_t i = 0; i < count; i += 2U) {
        g_cells[indexOf(address + i)] = static_cast<uint16_t>(bytes[i] | (bytes[i + 1U] << 8));
    }
    persistCells(indexOf(address), count / 2U);
}

std::vector<uint16_t> flashImage() { return std::vector<uint16_t>(g_mem, g_mem + kHalfWords); }

void flashSetImage(const std::vector<uint16_t>& image)
{
    const std::size_t given = std::min<std::size_t>(image.size(), kHalfWords);
    std::copy_n(image.begin(), given, g_mem);
    fillErased(static_cast<uint32_t>(given), static_cast<uint32_t>(kHalfWords - given));
    persist(0, kHalfWords);
}

bool flashUseFile(const std::string& path, bool whole)
{
    flashCloseFile();
    constexpr std::size_t kWholeBytes = std::size_t{kCells} * 2U;
    std::FILE* f = std::fopen(path.c_str(), "r+b");
    bool loaded = false;
    if (f != nullptr) {
        std::vector<unsigned char> bytes(kWholeBytes + 1U);
        const std::size_t got = std::fread(bytes.data(), 1U, bytes.size(), f);
        if (got == FLASH_DATA_SIZE || got == kWholeBytes) {
            whole = got == kWholeBytes;
            uint16_t* const into = whole ? g_cells : g_mem;
            for (std::size_t i = 0; i < got / 2U; ++i) {
                into[i] = static_cast<uint16_t>(bytes[2U * i] | (bytes[2U * i + 1U] << 8));
            }
            loaded = true;
        }
    } else {
        f = std::fopen(path.c_str(), "w+b");
        if (f == nullptr) {
            return false;
        }
    }
    g.file = f;
    g.fileWhole = whole;
    g.fileHeldApplication = loaded && whole && !flashErased(FLASH_APP_START, FLASH_APP_SIZE);
    if (!loaded) {
        // A new file, or one that is not a flash image: start from erased flash.
        const uint32_t first = whole ? 0U : kAppHalfWords;
        fillCellsErased(first, kCells - first);
        persistCells(first, kCells - first);
        if (std::ferror(f) != 0) {
            flashCloseFile();
            return false;
        }
    }
    return true;
}

bool flashFileHoldsApplication() { return g.file != nullptr && g.fileHeldApplication; }

void flashCloseFile()
{
    if (g.file != nullptr) {
        (void)std::fclose(g.file);  // every write was flushed and checked as it was made
        g.file = nullptr;
    }
}

}  // namespace sim
