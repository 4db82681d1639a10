// The parameter store over the EEPROM emulation: start-up as the node does it (InitNVM, then NVMGet of
// every row with the compiled-in value as default), the layout version, widening, and power cuts.
#include "firmware/drivers/NVM.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <string>
#include <unistd.h>

#include "platform/sim/sim.hpp"
#include "platform/sim/sim_flash.hpp"

namespace {

using Table = std::array<int64_t, NB_OF_VAR>;

// The parameter table's compiled-in values.
constexpr Table kCompiledIn = {6, 110, 111, 112, 1, 2, 3, 4, 5, 6, 1, 1, 1, 1, 0, 0};

// What the node's start-up does: each row's value, and which rows the store had.
struct Loaded {
    Table values;
    std::array<bool, NB_OF_VAR> found;
};

Loaded load(const Table& table = kCompiledIn)
{
    InitNVM();
    Loaded l{table, {}};
    for (uint8_t i = 0; i < NVM_Last; ++i) {
        l.found[i] = NVM_GET(i, l.values[i]);
    }
    return l;
}

// Power on and load.
Loaded start(const Table& table = kCompiledIn)
{
    sim::flashPowerCycle();
    return load(table);
}

std::array<bool, NB_OF_VAR> all(bool value)
{
    std::array<bool, NB_OF_VAR> a{};
    a.fill(value);
    return a;
}

class Nvm : public ::testing::Test {
protected:
    void SetUp() override { sim::flashReset(); }
    void TearDown() override { EXPECT_EQ(sim::flashBitRaiseAttempts(), 0U); }
};

TEST_F(Nvm, FirstStartStoresTheCompiledInValuesAndLaterStartsReadThem)
{
    const Loaded first = start();
    EXPECT_EQ(first.found, all(false));
    EXPECT_EQ(first.values, kCompiledIn);

    Table garbage{};
    garbage.fill(-12345);
    const Loaded second = start(garbage);
    EXPECT_EQ(second.found, all(true));
    EXPECT_EQ(second.values, kCompiledIn);
    for (uint8_t i = 0; i < NVM_Last; ++i) {
        EXPECT_EQ(VarDataTab[i], static_cast<NMVVar_t>(kCompiledIn[i]));
        EXPECT_EQ(VirtAddVarTab[i], i + 1U);
    }
}

TEST_F(Nvm, AStoredLayoutVersionOtherThanTheFirmwaresWipesTheStore)
{
    start();
    ASSERT_TRUE(NVMSet(2, 0));
    ASSERT_TRUE(NVMSet(NVM_Format, 5));
    const Loaded wiped = start();
    EXPECT_EQ(wiped.found, all(false));
    EXPECT_EQ(wiped.values, kCompiledIn);
    const Loaded after = start();
    EXPECT_EQ(after.found, all(true));
    EXPECT_EQ(after.values[NVM_Format], EEFORMAT);
    EXPECT_EQ(after.values[2], 111);

    // The firmware's own version keeps everything.
    ASSERT_TRUE(NVMSet(2, 0));
    ASSERT_TRUE(NVMSet(NVM_Format, EEFORMAT));
    const Loaded kept = start();
    EXPECT_EQ(kept.found, all(true));
    EXPECT_EQ(kept.values[2], 0);
}

TEST_F(Nvm, OnlyTheLowSixteenBitsAreKeptAndTheyReadBackUnsigned)
{
    start();
    ASSERT_TRUE(NVMSet(5, static_cast<NMVVar_t>(70000)));
    ASSERT_TRUE(NVMSet(6, 0xFFFF));
    const Loaded l = start();
    EXPECT_EQ(l.values[5], 4464);
    EXPECT_EQ(l.values[6], 65535);

    // Every width is zero-extended and nothing beyond it is touched.
    for (uint16_t size : {uint16_t{1}, uint16_t{2}, uint16_t{4}, uint16_t{8}}) {
        unsigned char buf[12];
        std::memset(buf, 0xAA, sizeof buf);
        EXPECT_TRUE(NVMGet(6, buf + 2, size));
        EXPECT_EQ(buf[0], 0xAAU);
        EXPECT_EQ(buf[1], 0xAAU);
        for (uint16_t b = 0; b < size; ++b) {
            EXPECT_EQ(buf[2 + b], b < 2U ? 0xFFU : 0x00U) << "size " << size << " byte " << b;
        }
        for (std::size_t b = 2U + size; b < sizeof buf; ++b) {
            EXPECT_EQ(buf[b], 0xAAU) << "size " << size;
        }
    }
    // Another width reads nothing but still says the variable is there.
    unsigned char three[3] = {1, 2, 3};
    EXPECT_TRUE(NVMGet(6, three, 3));
    EXPECT_EQ(three[0], 1U);
    EXPECT_EQ(three[2], 3U);
}

TEST_F(Nvm, AMissingVariableTakesItsDefaultFromTheCallersValue)
{
    sim::flashPowerCycle();
    InitNVM();
    uint8_t u8 = 0xC3;
    EXPECT_FALSE(NVMGet(1, &u8, 1));
    uint16_t u16 = 0xBEEF;
    EXPECT_FALSE(NVMGet(2, &u16, 2));
    uint32_t u32 = 0x12345678;
    EXPECT_FALSE(NVMGet(3, &u32, 4));
    int64_t i64 = 0x0000000A0001FFFE;  // the low 16 bits of the first word
    EXPECT_FALSE(NVMGet(4, &i64, 8));
    int64_t minusOne = -1;
    EXPECT_FALSE(NVMGet(5, &minusOne, 8));
    EXPECT_EQ(u8, 0xC3U);  // defaults stay where they were
    EXPECT_EQ(i64, 0x0000000A0001FFFE);

    // A width it cannot take the default from stores what the variable last held.
    sim::flashFailOperation(1, FLASH_ERROR_PGS);
    EXPECT_FALSE(NVMSet(7, 0x0777));
    EXPECT_EQ(VarDataTab[7], 0x0777U);
    unsigned char three[3] = {9, 9, 9};
    EXPECT_FALSE(NVMGet(7, three, 3));

    sim::flashPowerCycle();
    InitNVM();
    const std::array<std::pair<uint8_t, int64_t>, 6> want = {
        {{1, 0xC3}, {2, 0xBEEF}, {3, 0x5678}, {4, 0xFFFE}, {5, 65535}, {7, 0x0777}}};
    for (const auto& [idx, value] : want) {
        int64_t v = 0;
        EXPECT_TRUE(NVM_GET(idx, v)) << int{idx};
        EXPECT_EQ(v, value) << int{idx};
    }
}

TEST_F(Nvm, BadArgumentsReadAndWriteNothing)
{
    start();
    const uint64_t ops = sim::flashOperations();
    int64_t v = 42;
    EXPECT_FALSE(NVMGet(NVM_Last, &v, 8));
    EXPECT_FALSE(NVMGet(255, &v, 8));
    EXPECT_FALSE(NVMGet(1, nullptr, 8));
    EXPECT_EQ(v, 42);
    EXPECT_FALSE(NVMSet(NVM_Last, 1));
    EXPECT_FALSE(NVMSet(255, 1));
    EXPECT_EQ(sim::flashOperations(), ops);
}

TEST_F(Nvm, AFailedWriteIsReportedAndTheStoreKeepsTheOldValue)
{
    start();
    sim::flashFailOperation(2, FLASH_ERROR_PGP);
    EXPECT_FALSE(NVMSet(3, 0x0033));
    EXPECT_EQ(VarDataTab[3], 0x0033U);
    EXPECT_EQ(start().values[3], 112);
    EXPECT_EQ(VarDataTab[3], 112U);
    EXPECT_TRUE(NVMSet(3, 0x0033));
    EXPECT_NE(FLASH->CR & FLASH_CR_LOCK, 0U) << "the store locks the flash again after each operation";
    EXPECT_EQ(start().values[3], 0x33);
    EXPECT_NE(FLASH->CR & FLASH_CR_LOCK, 0U);
}

// Erases stop the chip for a second each: only the first start on blank flash pays for them, and while
// erasing is not allowed the store never starts one: it refuses the format and the write that needs one.
TEST_F(Nvm, OnlyABlankStoreErasesAtStartUpAndNothingErasesWhileNotAllowed)
{
    const auto startTime = [] {
        const uint64_t t = sim::nowNs();
        start();
        return sim::nowNs() - t;
    };
    constexpr uint64_t kEraseNs = 1000000000U;
    EXPECT_GE(startTime(), 2U * kEraseNs) << "blank flash: both pages erased";
    EXPECT_LT(startTime(), kEraseNs / 100U) << "a formatted store: no erase";

    NVMAllowErase(false);
    const std::vector<uint16_t> image = sim::flashImage();
    EXPECT_FALSE(NVMErase());
    EXPECT_EQ(sim::flashImage(), image);
    EXPECT_FALSE(NVMEraseStep()) << "nothing waits";

    // Writes up to a transfer (it takes the spare, leaving the old page's erase), then to the next one.
    uint32_t writes = 0;
    while (!NVMWriteRefused()) {
        ASSERT_TRUE(NVMSet(5, static_cast<NMVVar_t>(++writes)));
    }
    EXPECT_GT(writes, 32767U);
    const uint32_t erases = sim::flashEraseCount(10) + sim::flashEraseCount(11);
    EXPECT_FALSE(NVMSet(5, 0x5555));
    EXPECT_EQ(VarDataTab[5], writes) << "a refused write leaves the value read or written last";
    EXPECT_FALSE(NVMEraseStep());
    EXPECT_EQ(sim::flashEraseCount(10) + sim::flashEraseCount(11), erases);

    NVMAllowErase(true);
    EXPECT_TRUE(NVMEraseStep());
    EXPECT_FALSE(NVMEraseStep()) << "done once";
    EXPECT_FALSE(NVMWriteRefused());
    EXPECT_TRUE(NVMSet(5, 0x5555));
    EXPECT_EQ(start().values[5], 0x5555);
}

// A store whose flash refuses the start-up's repair (here: both sectors write-protected, so blank flash
// cannot be formatted, nor a store of another layout wiped) is down, not a fatal stop: nothing is read
// from it or written to it, and the caller keeps its compiled-in values.
TEST_F(Nvm, AStoreThatCannotBeBroughtUpIsDownAndTouchesNothing)
{
    const auto protect = [](bool on) {
        sim::flashSetWriteProtection(10, on);
        sim::flashSetWriteProtection(11, on);
    };
    protect(true);
    EXPECT_FALSE(InitNVM());
    int64_t v = 42;
    EXPECT_FALSE(NVM_GET(1, v));
    EXPECT_EQ(v, 42);
    EXPECT_TRUE(NVMWriteRefused());
    EXPECT_FALSE(NVMSet(1, 7));
    EXPECT_FALSE(NVMErase());
    EXPECT_FALSE(NVMEraseStep());

    protect(false);
    start();
    ASSERT_TRUE(NVMSet(4, 7));
    ASSERT_TRUE(NVMSet(NVM_Format, 5));
    protect(true);
    const Loaded other = start();
    EXPECT_EQ(other.found, all(false)) << "a layout it cannot wipe is not read";
    EXPECT_EQ(other.values, kCompiledIn);
    protect(false);
    EXPECT_TRUE(InitNVM());
}

TEST_F(Nvm, ARestartInProcessStartsFromLoadTimeState)
{
    start();
    ASSERT_TRUE(NVMSet(9, 0x0999));
    sim::flashPowerCycle();
    InitNVM();
    EXPECT_EQ(VarDataTab[NVM_Format], EEFORMAT);  // read by the version check
    for (uint8_t i = 1; i < NVM_Last; ++i) {
        EXPECT_EQ(VarDataTab[i], 0U) << int{i};
    }
}

TEST_F(Nvm, ParametersSurviveAProcessRestartThroughTheBackingFile)
{
    char dir[] = "/tmp/nvm_testXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/flash.bin";
    ASSERT_TRUE(sim::flashUseFile(path));
    start();
    ASSERT_TRUE(NVMSet(4, 7));
    sim::flashReset();  // the process ends; a new one opens the same file
    ASSERT_TRUE(sim::flashUseFile(path));
    const Loaded l = start();
    EXPECT_EQ(l.found, all(true));
    EXPECT_EQ(l.values[4], 7);
    sim::flashReset();
    std::remove(path.c_str());
    rmdir(dir);
}

TEST_F(Nvm, ACutDuringTheLayoutWipeEndsInAWipedStoreAtTheNextStart)
{
    start();
    for (uint8_t i = 1; i < NVM_Last; ++i) {
        ASSERT_TRUE(NVMSet(i, static_cast<NMVVar_t>(1000U + i)));
    }
    ASSERT_TRUE(NVMSet(NVM_Format, 5));
    const std::vector<uint16_t> image = sim::flashImage();
    sim::flashPowerCycle();
    const uint64_t before = sim::flashOperations();
    InitNVM();
    const uint64_t ops = sim::flashOperations() - before;
    ASSERT_GT(ops, 0U);
    for (uint64_t k = 1; k <= ops; ++k) {
        for (uint64_t seed = 0; seed < 8; ++seed) {
            sim::flashSetImage(image);
            sim::flashPowerCycle();
            sim::flashCutPower(k, seed);
            InitNVM();
            ASSERT_TRUE(sim::flashPowerLost());
            const Loaded l = start();
            EXPECT_EQ(l.found, all(false)) << "cut at " << k << " seed " << seed;
            EXPECT_EQ(l.values, kCompiledIn);
        }
    }
}

// Random parameter writes with random power cuts, each start-up done as the node does it.
TEST_F(Nvm, RandomWritesWithRandomCutsReadBackAtEveryStart)
{
    constexpr uint32_t kWrites = 50000U;
    constexpr uint64_t kMaxOpsBetweenCuts = 600U;
    std::mt19937_64 rng(77);
    Table mirror = start().values;
    uint32_t cuts = 0;
    sim::flashCutPower(1U + rng() % kMaxOpsBetweenCuts, rng());
    for (uint32_t n = 0; n < kWrites; ++n) {
        const auto idx = static_cast<uint8_t>(1U + rng() % (NVM_Last - 1U));  // the version row stays
        const auto value = static_cast<NMVVar_t>(rng());
        const bool ok = NVMSet(idx, value);
        if (!sim::flashPowerLost()) {
            ASSERT_TRUE(ok);
            mirror[idx] = value;
            continue;
        }
        ++cuts;
        Loaded l{};
        do {
            sim::flashPowerCycle();
            sim::flashCutPower(1U + rng() % kMaxOpsBetweenCuts, rng());
            l = load();
        } while (sim::flashPowerLost());
        ASSERT_EQ(l.found, all(true)) << "write " << n;
        ASSERT_TRUE(l.values[idx] == mirror[idx] || l.values[idx] == value) << "write " << n;
        mirror[idx] = l.values[idx];
        ASSERT_EQ(l.values, mirror) << "write " << n;
    }
    EXPECT_GT(cuts, kWrites * 3U / kMaxOpsBetweenCuts);
}

}  // namespace
