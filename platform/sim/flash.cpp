// The simulated data flash: a NOR model of sectors 10 and 11 behind the FLASH_* calls, with power-loss
// and error injection and an optional backing file. See sim_flash.hpp for the rules.
#include <bit>
#include <cstdio>
#include <random>

#include "platform/interface/flash.hpp"
#include "platform/sim/sim_flash.hpp"

namespace sim {
namespace {

constexpr uint32_t kHalfWords = FLASH_DATA_SIZE / 2U;
constexpr uint32_t kSectorHalfWords = kFlashSectorSize / 2U;
constexpr unsigned kTearShapes = 8U;

uint16_t g_mem[kHalfWords];

struct State {
    bool unlocked = false;
    bool dead = false;  // the power went during an operation
    uint64_t operations = 0;
    uint64_t cutAt = 0;  // operation number to cut, 0 = none
    uint64_t cutSeed = 0;
    uint64_t failAt = 0;
    FLASH_Status failStatus = FLASH_COMPLETE;
    uint32_t erases[2] = {0, 0};
    uint64_t bitRaises = 0;
    std::FILE* file = nullptr;
};
State g;

bool inModel(uint32_t address, uint32_t bytes)
{
    return address >= FLASH_DATA_START && address - FLASH_DATA_START <= FLASH_DATA_SIZE - bytes;
}

uint32_t indexOf(uint32_t address) { return (address - FLASH_DATA_START) / 2U; }

// Writes half-words [first, first + count) through to the backing file.
void persist(uint32_t first, uint32_t count)
{
    if (g.file == nullptr) {
        return;
    }
    unsigned char bytes[2 * 256];
    if (std::fseek(g.file, static_cast<long>(first) * 2L, SEEK_SET) != 0) {
        return;
    }
    for (uint32_t done = 0; done < count;) {
        const uint32_t chunk = (count - done < 256U) ? count - done : 256U;
        for (uint32_t i = 0; i < chunk; ++i) {
            const uint16_t v = g_mem[first + done + i];
            bytes[2U * i] = static_cast<unsigned char>(v & 0xFFU);
            bytes[2U * i + 1U] = static_cast<unsigned char>(v >> 8);
        }
        if (std::fwrite(bytes, 2U, chunk, g.file) != chunk) {
            return;
        }
        done += chunk;
    }
    std::fflush(g.file);
}

void fillErased(uint32_t first, uint32_t count)
{
    for (uint32_t i = first; i < first + count; ++i) {
        g_mem[i] = 0xFFFFU;
    }
}

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
    const uint16_t old = g_mem[index];
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
    g_mem[index] = static_cast<uint16_t>(old & ~clearing);
    persist(index, 1U);
}

void tearErase(uint32_t first)
{
    std::mt19937_64 rng(g.cutSeed);
    uint16_t* s = &g_mem[first];
    const uint32_t split = static_cast<uint32_t>(rng() % kSectorHalfWords);
    switch (static_cast<unsigned>(g.cutSeed % kTearShapes)) {
    case 0:
        break;
    case 1:
        fillErased(first, kSectorHalfWords);
        break;
    case 2:
        fillErased(first, split + 1U);
        break;
    case 3:
        fillErased(first + 2U + split % (kSectorHalfWords - 2U), kSectorHalfWords - 2U - split % (kSectorHalfWords - 2U));
        break;
    case 5:
        for (uint32_t i = 0; i < kSectorHalfWords; ++i) {
            s[i] = static_cast<uint16_t>(s[i] | (rng() & rng()));
        }
        break;
    case 6:
        for (uint32_t i = 2; i < kSectorHalfWords; ++i) {
            s[i] = static_cast<uint16_t>(rng());
        }
        break;
    default:
        for (uint32_t i = 0; i < kSectorHalfWords; ++i) {
            s[i] = static_cast<uint16_t>(rng());
        }
        break;
    }
    persist(first, kSectorHalfWords);
}

const bool g_factoryNew = [] {
    flashReset();
    return true;
}();

}  // namespace

void flashReset()
{
    flashCloseFile();
    fillErased(0, kHalfWords);
    g = State{};
}

void flashPowerCycle()
{
    g.unlocked = false;
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

uint32_t flashEraseCount(unsigned sector)
{
    return (sector == 10U || sector == 11U) ? g.erases[sector - 10U] : 0U;
}

uint64_t flashBitRaiseAttempts() { return g.bitRaises; }

uint16_t flashPeek16(uint32_t address) { return inModel(address, 2U) ? g_mem[indexOf(address)] : 0U; }

uint32_t flashPeek32(uint32_t address)
{
    return static_cast<uint32_t>(flashPeek16(address)) | (static_cast<uint32_t>(flashPeek16(address + 2U)) << 16);
}

void flashPoke16(uint32_t address, uint16_t value)
{
    if (inModel(address, 2U) && (address & 1U) == 0U) {
        g_mem[indexOf(address)] = value;
        persist(indexOf(address), 1U);
    }
}

std::vector<uint16_t> flashImage() { return std::vector<uint16_t>(g_mem, g_mem + kHalfWords); }

void flashSetImage(const std::vector<uint16_t>& image)
{
    for (uint32_t i = 0; i < kHalfWords; ++i) {
        g_mem[i] = (i < image.size()) ? image[i] : uint16_t{0xFFFFU};
    }
    persist(0, kHalfWords);
}

bool flashUseFile(const std::string& path)
{
    flashCloseFile();
    std::FILE* f = std::fopen(path.c_str(), "r+b");
    bool loaded = false;
    if (f != nullptr) {
        std::vector<unsigned char> bytes(FLASH_DATA_SIZE + 1U);
        const std::size_t got = std::fread(bytes.data(), 1U, bytes.size(), f);
        if (got == FLASH_DATA_SIZE) {
            for (uint32_t i = 0; i < kHalfWords; ++i) {
                g_mem[i] = static_cast<uint16_t>(bytes[2U * i] | (bytes[2U * i + 1U] << 8));
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
    if (!loaded) {
        // A new file, or one that is not a flash image: start from erased flash.
        fillErased(0, kHalfWords);
        persist(0, kHalfWords);
        if (std::ferror(f) != 0) {
            flashCloseFile();
            return false;
        }
    }
    return true;
}

void flashCloseFile()
{
    if (g.file != nullptr) {
        std::fclose(g.file);
        g.file = nullptr;
    }
}

}  // namespace sim

const volatile uint16_t* const FLASH_DataView = sim::g_mem;

void FLASH_Unlock() { sim::g.unlocked = true; }

FLASH_Status FLASH_EraseSector(uint32_t FLASH_Sector, uint8_t VoltageRange)
{
    using namespace sim;
    const bool wellFormed = (FLASH_Sector & ~0x78U) == 0U /* SNB, bits 6:3 */ && (FLASH_Sector >> 3) <= 11U && VoltageRange <= VoltageRange_4;
    if (!g.unlocked || !wellFormed) {
        return FLASH_ERROR_PGS;
    }
    unsigned sector = 0;
    if (FLASH_Sector == FLASH_Sector_10) {
        sector = 10U;
    } else if (FLASH_Sector == FLASH_Sector_11) {
        sector = 11U;
    } else {
        return FLASH_ERROR_WRP;  // the program sectors are not modelled, and nothing here may erase them
    }
    FLASH_Status status = FLASH_COMPLETE;
    const Admit a = admit(&status);
    if (a == Admit::Refuse) {
        return status;
    }
    const uint32_t first = (sector - 10U) * kSectorHalfWords;
    if (a == Admit::Cut) {
        tearErase(first);
    } else {
        fillErased(first, kSectorHalfWords);
        persist(first, kSectorHalfWords);
        ++g.erases[sector - 10U];
    }
    return FLASH_COMPLETE;
}

FLASH_Status FLASH_ProgramHalfWord(uint32_t Address, uint16_t Data)
{
    using namespace sim;
    if (!g.unlocked) {
        return FLASH_ERROR_PGS;
    }
    if ((Address & 1U) != 0U) {
        return FLASH_ERROR_PGA;
    }
    if (!inModel(Address, 2U)) {
        return FLASH_ERROR_WRP;
    }
    FLASH_Status status = FLASH_COMPLETE;
    const Admit a = admit(&status);
    if (a == Admit::Refuse) {
        return status;
    }
    program(indexOf(Address), Data, a == Admit::Cut);
    return FLASH_COMPLETE;
}
