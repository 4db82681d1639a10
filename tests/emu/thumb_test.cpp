// The interpreter against Unicorn (random instructions of every group, the image's block boundaries)
// and the few behaviours a random generator does not reach.
#include <gtest/gtest.h>
#include <unicorn/unicorn.h>

#include <bit>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "platform/emu/elf_image.hpp"
#include "platform/emu/memory_map.hpp"
#include "platform/emu/thumb_run.hpp"
#include "tests/emu/unicorn_image.hpp"

namespace emu_test {
namespace {

using emu::thumb::Block;
using emu::thumb::Registers;
using emu::thumb::Stop;

constexpr uint32_t kFlashBase = 0x08000000U;
constexpr uint32_t kFlashSize = 0x100000U;
constexpr uint32_t kCode = 0x08001000U;
constexpr uint32_t kSetFlags = 0x08008000U;  // out of a literal load's reach
constexpr uint32_t kRamBase = 0x20000000U;
constexpr uint32_t kRamSize = 0x1000U;

struct NoSystem final : emu::thumb::SystemRegisters {
    uint32_t readSpecial(unsigned) override { return 0; }
    void writeSpecial(unsigned, uint32_t) override {}
    void changeProcessorState(bool, bool, bool) override {}
};

// Flash and a RAM window, as plain memory for the interpreter.
struct Memories {
    std::vector<uint8_t> flash = std::vector<uint8_t>(kFlashSize, 0);
    std::vector<uint8_t> ram = std::vector<uint8_t>(kRamSize, 0);
    emu::thumb::Memory view() { return {flash.data(), kFlashBase, kFlashSize, ram.data(), kRamBase, kRamSize, nullptr}; }
};

// Unicorn as a Cortex-M4F with the FPU enabled, running a few instructions from a given state.
class Reference {
public:
    Reference()
    {
        uc_open(UC_ARCH_ARM, static_cast<uc_mode>(UC_MODE_THUMB | UC_MODE_MCLASS), &uc_);
        uc_ctl_set_cpu_model(uc_, UC_CPU_ARM_CORTEX_M4);
        uc_mem_map_ptr(uc_, kFlashBase, kFlashSize, UC_PROT_READ | UC_PROT_EXEC, memory.flash.data());
        uc_mem_map_ptr(uc_, kRamBase, kRamSize, UC_PROT_ALL, memory.ram.data());
        const uint16_t setFlags[] = {0xF380, 0x8C00};
        std::memcpy(&memory.flash[kSetFlags - kFlashBase], setFlags, sizeof setFlags);
        uc_hook hook = 0;
        uc_hook_add(uc_, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(onException), this, 1, 0);
        enableFpu(uc_);
        // FPCA with SFPA as the core keeps them.
        const uint32_t control = 0xCU;
        uc_reg_write(uc_, UC_ARM_REG_CONTROL, &control);
    }
    ~Reference() { uc_close(uc_); }
    Reference(const Reference&) = delete;
    Reference& operator=(const Reference&) = delete;

    // False when it stopped on an exception or a memory fault.
    bool run(Registers& regs, unsigned count)
    {
        uc_ctl_remove_cache(uc_, kCode, kCode + 64);
        // Unicorn's register interface does not reach GE: an MSR APSR_nzcvqg, r0 sets it (when it is
        // or was not zero).
        const uint32_t apsrIn = regs.apsr();
        uc_reg_write(uc_, UC_ARM_REG_R0, &apsrIn);
        if (((apsrIn | ge_) & kGe) != 0) {
            uc_emu_start(uc_, kSetFlags | 1U, 0xFFFFFFFEU, 0, 1);
        } else {
            uc_reg_write(uc_, UC_ARM_REG_APSR, &apsrIn);
        }
        for (int k = 0; k < 13; ++k) {
            uc_reg_write(uc_, UC_ARM_REG_R0 + k, &regs.r[static_cast<unsigned>(k)]);
        }
        uc_reg_write(uc_, UC_ARM_REG_SP, &regs.r[13]);
        uc_reg_write(uc_, UC_ARM_REG_LR, &regs.r[14]);
        for (int k = 0; k < 32; ++k) {
            uc_reg_write(uc_, UC_ARM_REG_S0 + k, &regs.s[static_cast<unsigned>(k)]);
        }
        uc_reg_write(uc_, UC_ARM_REG_FPSCR, &regs.fpscr);
        exception_ = false;
        const uc_err err = uc_emu_start(uc_, regs.r[15] | 1U, 0xFFFFFFFEU, 0, count);
        for (int k = 0; k < 13; ++k) {
            uc_reg_read(uc_, UC_ARM_REG_R0 + k, &regs.r[static_cast<unsigned>(k)]);
        }
        uc_reg_read(uc_, UC_ARM_REG_SP, &regs.r[13]);
        uc_reg_read(uc_, UC_ARM_REG_LR, &regs.r[14]);
        uc_reg_read(uc_, UC_ARM_REG_PC, &regs.r[15]);
        uint32_t apsr = 0;
        uc_reg_read(uc_, UC_ARM_REG_XPSR, &apsr);
        regs.setApsr(apsr & 0xF80F0000U);
        ge_ = apsr & kGe;
        for (int k = 0; k < 32; ++k) {
            uc_reg_read(uc_, UC_ARM_REG_S0 + k, &regs.s[static_cast<unsigned>(k)]);
        }
        uc_reg_read(uc_, UC_ARM_REG_FPSCR, &regs.fpscr);
        // A branch out of the mapped code stops at the next fetch, with the branch done.
        return (err == UC_ERR_OK || err == UC_ERR_FETCH_UNMAPPED) && !exception_;
    }

    Memories memory;

private:
    static void onException(uc_engine* uc, uint32_t, void* user)
    {
        static_cast<Reference*>(user)->exception_ = true;
        uc_emu_stop(uc);
    }
    static constexpr uint32_t kGe = 0x000F0000U;
    uc_engine* uc_ = nullptr;
    bool exception_ = false;
    uint32_t ge_ = 0;
};

// An encoding with its random fields: 0/1 fixed bits; d n m t a register fields (r0..r12, or r0..r7 in
// 3-bit fields); any other letter random bits.
struct Template {
    const char* group;
    const char* bits;
    bool memory = false;
};

// clang-format off
const Template kTemplates[] = {
    {"shift imm", "000xxiiiiimmmddd"}, {"add/sub 3", "000111xiiinnnddd"}, {"imm8", "001xxdddiiiiiiii"},
    {"data processing 16", "010000xxxxmmmddd"}, {"hi register", "010001xxdmmmmddd"},
    {"ldr literal", "01001tttiiiiiiii", true}, {"load/store register 16", "0101xxxmmmnnnttt", true},
    {"load/store imm 16", "011xxiiiiinnnttt", true}, {"ldrh/strh 16", "1000xiiiiinnnttt", true},
    {"sp relative", "1001xtttiiiiiiii", true}, {"adr / add sp", "1010xdddiiiiiiii"},
    {"add/sub sp", "10110000xiiiiiii"}, {"extend 16", "10110010xxmmmddd"}, {"rev 16", "1011101000mmmddd"},
    {"rev 16", "1011101001mmmddd"}, {"rev 16", "1011101011mmmddd"},
    {"push", "1011010xiiiiiiii", true}, {"pop", "1011110011111111", true}, {"pop", "10111100iiiiiiii", true},
    {"stm/ldm 16", "1100xnnniiiiiiii", true}, {"b cond", "1101cccciiiiiiii"}, {"b", "11100iiiiiiiiiii"},
    {"cbz", "1011x0i1iiiiinnn"}, {"hints", "10111111xxx00000"},  // even: Unicorn stops at YIELD
    {"hints", "1111001110101111100000000000xxx0"},
    {"modified immediate", "11110i0xxxxxnnnn0iiiddddiiiiiiii"},
    {"addw/subw", "11110i10x0x0nnnn0iiiddddiiiiiiii"}, {"movw/movt", "11110i10x100iiii0iiiddddiiiiiiii"},
    {"bitfield", "111100110100nnnn0iiiddddii0wwwww"}, {"bitfield", "111100111100nnnn0iiiddddii0wwwww"},
    {"bitfield", "111100110110nnnn0iiiddddii0wwwww"}, {"bfc", "11110011011011110iiiddddii0wwwww"},
    {"shifted register", "11101010xxxxnnnn0iiiddddiixxmmmm"},
    {"shifted register", "11101011xxxxnnnn0iiiddddiixxmmmm"},
    {"register shift", "111110100xxxnnnn1111dddd0000mmmm"},
    {"extend", "11111010010xnnnn1111dddd10iimmmm"}, {"extend", "1111101000xxnnnn1111dddd10iimmmm"},
    {"parallel", "111110101000nnnn1111dddd0100mmmm"}, {"parallel", "111110101100nnnn1111dddd0100mmmm"},
    {"sel", "111110101010nnnn1111dddd1000mmmm"}, {"clz", "111110101011mmmm1111dddd1000mmmm"},
    {"rev/rbit", "111110101001mmmm1111dddd10xxmmmm"},
    {"mul/mla/mls", "111110110000nnnnaaaadddd000xmmmm"}, {"mul", "111110110000nnnn1111dddd0000mmmm"},
    {"long multiply", "1111101110x0nnnnaaaadddd0000mmmm"}, {"long multiply", "1111101111x0nnnnaaaadddd0000mmmm"},
    {"divide", "1111101110x1nnnn1111dddd1111mmmm"},
    {"load/store imm12", "111110001xx0nnnnttttiiiiiiiiiiii", true},
    {"load/store imm12", "111110011xx1nnnnttttiiiiiiiiiiii", true},
    {"load/store imm8", "111110000xx0nnnntttt1xxxiiiiiiii", true},
    {"load/store imm8", "111110010xx1nnnntttt1xxxiiiiiiii", true},
    {"load/store register", "111110000xx0nnnntttt000000iimmmm", true},
    {"load signed register", "111110010xx1nnnntttt000000iimmmm", true},
    {"load literal", "11111000x1011111ttttiiiiiiiiiiii", true},
    {"load literal bh", "1111100xx0x11111ttttiiiiiiiiiiii", true},
    {"ldrd/strd", "11101001x1xxnnnnttttaaaaiiiiiiii", true}, {"ldrd/strd", "11101000x11xnnnnttttaaaaiiiiiiii", true},
    {"ldm/stm", "1110100010x0nnnn0iiiiiiiiiiiiiii", true}, {"ldm/stm", "1110100100x0nnnn0iiiiiiiiiiiiiii", true},
    {"ldm/stm", "1110100010x1nnnn0iiiiiiiiiiiiiii", true}, {"ldm/stm", "1110100100x1nnnn0iiiiiiiiiiiiiii", true},
    // No STREX: Unicorn's fails without a LDREX before it, ours always succeeds.
    {"ldrex", "111010000101nnnntttt1111iiiiiiii", true},
    {"ldrex bh", "111010001101nnnntttt111101001111", true},
    {"ldrex bh", "111010001101nnnntttt111101011111", true},
    {"tbb/tbh", "111010001101nnnn11110000000xmmmm", true},
    {"b.w cond", "11110s0ccciiiiii10j0jiiiiiiiiiii"},
    {"b.w cond", "11110s10cciiiiii10j0jiiiiiiiiiii"}, {"b.w cond", "11110s110ciiiiii10j0jiiiiiiiiiii"}, {"b.w/bl", "11110siiiiiiiiii1xj1jiiiiiiiiiii"},
    {"bx/blx", "010001111mmmm000"},
    {"vldr/vstr", "1110110110x1nnnnxxxx1010iiiiiiii", true}, {"vldr/vstr", "1110110100x1nnnnxxxx1010iiiiiiii", true},
    {"vldr/vstr", "1110110110x0nnnnxxxx1010iiiiiiii", true}, {"vldr/vstr", "1110110110x0nnnnxxxx1011iiiiiiii", true},
    {"vldm/vstm", "111011001x1xnnnnxxxx1010000iiiii", true}, {"vldm/vstm", "111011010x1xnnnnxxxx1010000iiiii", true},
    {"vldm/vstm", "111011001x1xnnnnxxx01011000iiii0", true},
    {"vmov core", "11101110000xxxxxtttt1010x0010000"}, {"vmov pair", "11101100010xaaaatttt101000x1xxxx"},
    {"vmrs/vmsr", "11101110111100011111101000010000"}, {"vmrs/vmsr", "11101110111x0001tttt101000010000"},
    {"vfp arithmetic", "111011100x00xxxxxxxx1010xxx0xxxx"}, {"vfp arithmetic", "111011100x01xxxxxxxx1010xxx0xxxx"},
    {"vfp arithmetic", "111011100x10xxxxxxxx1010xxx0xxxx"}, {"vfp arithmetic", "111011100x11xxxxxxxx1010xxx0xxxx"},
    {"vfp arithmetic", "111011101x00xxxxxxxx1010x0x0xxxx"}, {"vfp fused", "111011101x01xxxxxxxx1010xxx0xxxx"},
    {"vfp fused", "111011101x10xxxxxxxx1010xxx0xxxx"}, {"vmov imm", "111011101x11xxxxxxxx10100000xxxx"},
    {"vfp unary", "111011101x11000xxxxx101011x0xxxx"}, {"vfp unary", "111011101x110000xxxx101001x0xxxx"},
    {"vcmp", "111011101x11010xxxxx1010x1x0xxxx"}, {"vcvt", "111011101x111000xxxx1010x1x0xxxx"},
    {"vcvt", "111011101x11110xxxxx1010x1x0xxxx"}, {"vcvt fixed", "111011101x111x1xxxxx1010x1x0xxxx"},
    {"vcvt half", "111011101x11001xxxxx1010x1x0xxxx"},
    {"vmov double", "11101100010xaaaatttt101100x1xxxx"}, {"vmov scalar", "1110111000xxxxxxtttt1011x0010000"},
    {"parallel", "111110101xxxnnnn1111dddd0xxxmmmm"}, {"saturating add", "111110101000nnnn1111dddd10xxmmmm"},
    {"extend 16", "111110100010xxxx1111dddd10iimmmm"}, {"extend 16", "111110100011xxxx1111dddd10iimmmm"},
    {"pack", "111010101100nnnn0iiiddddiix0mmmm"},
    {"saturate", "11110011x0x0nnnn0iiiddddii0xxxxx"}, {"saturate 16", "11110011x010nnnn0000dddd0000xxxx"},
    {"dsp multiply", "111110110xxxnnnnaaaadddd00xxmmmm"}, {"dsp multiply", "111110110xxxnnnn1111dddd00xxmmmm"},
    {"dsp long multiply", "111110111100nnnnaaaadddd10xxmmmm"}, {"dsp long multiply", "1111101111x0nnnnaaaadddd110xmmmm"},
    {"dsp long multiply", "111110111110nnnnaaaadddd0110mmmm"},
};
// clang-format on

struct Random {
    std::mt19937 engine;
    uint32_t operator()() { return static_cast<uint32_t>(engine()); }
};

uint32_t encode(const Template& t, Random& rng)
{
    uint32_t v = 0;
    const std::string bits = t.bits;
    for (size_t k = 0; k < bits.size();) {
        const char ch = bits[k];
        size_t width = 1;
        while (k + width < bits.size() && bits[k + width] == ch) {
            ++width;
        }
        uint32_t field = 0;
        if (ch == '0' || ch == '1') {
            field = static_cast<uint32_t>(std::stoul(bits.substr(k, width), nullptr, 2));
        } else if (std::strchr("dnmta", ch) != nullptr && width == 4) {
            field = rng() % 13;
        } else {
            field = static_cast<uint32_t>(rng()) & ((1U << width) - 1U);
        }
        v = (v << width) | field;
        k += width;
    }
    return v;
}

uint32_t randomValue(Random& rng)
{
    static const uint32_t kSpecial[] = {0, 1, 0x7FFFFFFFU, 0x80000000U, 0xFFFFFFFFU, 31, 32, 33, 0xFF, 0x100,
                                        0x80008000U, 0x7FFF7FFFU, 0x00008000U, 0x80807F7FU, 0xFFFF0001U};
    return rng() % 4 == 0 ? kSpecial[rng() % std::size(kSpecial)] : static_cast<uint32_t>(rng());
}

uint32_t randomFloat(Random& rng)
{
    static const uint32_t kSpecial[] = {0, 0x80000000U, 0x3F800000U, 0xBF800000U, 0x7F800000U, 0xFF800000U, 0x7FC00000U,
                                        0x7F800001U, 0xFFA00000U, 0x00000001U, 0x807FFFFFU, 0x7F7FFFFFU, 0x4F000000U,
                                        0xCF000000U, 0x4F800000U, 0x3F000000U, 0x3FC00000U, 0x00800000U,
                                        0x40400000U, 0x41100000U};  // 3 and 9: exact sums, products, quotients, roots
    switch (rng() % 3) {
    case 0: return kSpecial[rng() % std::size(kSpecial)];
    case 1: return (0x3E000000U + rng() % 0x03000000U) | (rng() % 2 != 0 ? 0x80000000U : 0U);  // moderate numbers
    default: return static_cast<uint32_t>(rng());
    }
}

// A random state: memory groups get registers pointing into the RAM window or small offsets.
Registers randomState(Random& rng, bool memory)
{
    Registers regs;
    for (unsigned k = 0; k < 15; ++k) {
        regs.r[k] = memory ? (rng() % 2 != 0 ? kRamBase + 0x400U + rng() % 0x800U : rng() % 64) : randomValue(rng);
    }
    regs.r[13] = kRamBase + 0x800U + (rng() % 0x100U) * 8U;
    regs.r[14] = kCode + 0x100U + (rng() % 64) * 2 + 1;
    regs.r[15] = kCode;
    regs.setApsr(static_cast<uint32_t>(rng()) & (rng() % 4 == 0 ? 0xF80F0000U : 0xF8000000U));
    for (auto& s : regs.s) {
        s = randomFloat(rng);
    }
    regs.fpscr = (static_cast<uint32_t>(rng()) & 0xF700009FU) | ((rng() % 4 == 0 ? rng() % 4 : 0U) << 22);
    return regs;
}

struct Outcome {
    Registers regs;
    bool stopped;
    std::vector<uint8_t> ram;
};

std::string describe(const Outcome& o)
{
    std::string text = o.stopped ? "stopped;" : "";
    char buf[64];
    for (unsigned k = 0; k < 16; ++k) {
        std::snprintf(buf, sizeof buf, " r%u=%08x", k, o.regs.r[k]);
        text += buf;
    }
    std::snprintf(buf, sizeof buf, " apsr=%08x fpscr=%08x", o.regs.apsr(), o.regs.fpscr);
    text += buf;
    for (unsigned k = 0; k < 32; ++k) {
        std::snprintf(buf, sizeof buf, " s%u=%08x", k, o.regs.s[k]);
        text += buf;
    }
    return text;
}

class Differential : public ::testing::Test {
protected:
    Reference reference;
    Memories ours;
    NoSystem system;

    // Runs `code` (halfwords) from kCode in both; a difference is reported with the group.
    bool compare(const std::vector<uint16_t>& code, unsigned count, const Registers& initial, const char* group, Random& rng)
    {
        std::memcpy(&ours.flash[kCode - kFlashBase], code.data(), code.size() * 2);
        std::memcpy(&reference.memory.flash[kCode - kFlashBase], code.data(), code.size() * 2);
        uint32_t x = rng() | 1U;
        for (size_t k = 0; k < ours.ram.size(); k += 4) {  // xorshift: cheap random contents
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            std::memcpy(&ours.ram[k], &x, 4);
        }
        reference.memory.ram = ours.ram;
        Block block;
        const emu::thumb::Memory view = ours.view();
        if (!emu::thumb::decode(view, kCode, kCode + static_cast<uint32_t>(code.size() * 2), &block) ||
            block.bytes != code.size() * 2) {
            return false;
        }
        Outcome mine{initial, false, {}};
        uint32_t fault = 0;
        const Stop stop = emu::thumb::Interpreter(mine.regs, view, system).run(block, &fault);
        // Exception returns and waiting are the core's. Unicorn (QEMU 5) lets LDM/STM/LDRD/STRD/LDREX/STREX
        // and FP loads and stores run unaligned, which the M4 refuses with a usage fault.
        if (stop == Stop::ExceptionReturn || stop == Stop::Wfi || stop == Stop::Unaligned) {
            return false;
        }
        mine.stopped = stop != Stop::Ended;
        mine.ram = ours.ram;
        if (stop == Stop::Undefined) {
            return false;
        }
        Outcome theirs{initial, false, {}};
        theirs.stopped = !reference.run(theirs.regs, count);
        theirs.ram = reference.memory.ram;
        ++cases;
        const bool leftFlash = mine.regs.r[15] - kFlashBase >= kFlashSize;
        if (mine.stopped ? theirs.stopped : theirs.stopped && leftFlash) {
            return true;  // both stopped, or Unicorn fetched from where a branch took it
        }
        if (mine.stopped != theirs.stopped || std::memcmp(&mine.regs.r, &theirs.regs.r, sizeof mine.regs.r) != 0 ||
            mine.regs.apsr() != theirs.regs.apsr() || mine.regs.s != theirs.regs.s || mine.regs.fpscr != theirs.regs.fpscr ||
            mine.ram != theirs.ram) {
            if (++failures <= 20) {
                std::string hex;
                for (const uint16_t h : code) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "%04x ", h);
                    hex += buf;
                }
                ADD_FAILURE() << group << ": " << hex << "\n from " << describe({initial, false, {}}) << "\n ours "
                              << describe(mine) << "\n unicorn " << describe(theirs)
                              << (mine.ram != theirs.ram ? "\n RAM differs" : "");
            }
        }
        return true;
    }

    unsigned cases = 0;
    unsigned failures = 0;
};

void append(std::vector<uint16_t>& code, uint32_t insn, bool wide)
{
    if (wide) {
        code.push_back(static_cast<uint16_t>(insn >> 16));
    }
    code.push_back(static_cast<uint16_t>(insn));
}

TEST_F(Differential, RandomInstructionsOfEveryGroupMatchUnicorn)
{
    Random rng{std::mt19937(20261208)};
    std::map<std::string, unsigned> compared;
    for (unsigned round = 0; round < 24000; ++round) {
        const Template& t = kTemplates[rng() % std::size(kTemplates)];
        std::vector<uint16_t> code;
        const bool inIt = rng() % 4 == 0;
        const uint32_t insn = encode(t, rng);
        const bool wide = std::strlen(t.bits) == 32;
        if (inIt) {
            const uint32_t firstCond = rng() % 14;
            append(code, 0xBF08U | firstCond << 4, false);  // IT <c>, one instruction
        }
        append(code, insn, wide);
        const Registers initial = randomState(rng, t.memory);
        if (compare(code, 1, initial, t.group, rng)) {  // Unicorn does not count IT itself
            ++compared[t.group];
        }
    }
    for (const auto& [group, count] : compared) {
        std::printf("%-24s %u\n", group.c_str(), count);
    }
    std::printf("%zu groups, %zu encoding templates, %u cases compared\n", compared.size(), std::size(kTemplates), cases);
    EXPECT_EQ(failures, 0U);
}

// A bus answering reads at one address with a value, refusing everything else; a log of what it saw.
struct OneRegisterBus final : emu::Bus {
    uint32_t answered = 0x40000000U;
    std::vector<std::pair<uint32_t, unsigned>> accesses;  // address, width
    bool read(uint32_t addr, unsigned width, uint32_t* value) override
    {
        accesses.emplace_back(addr, width);
        *value = 0x12345678U;
        return addr == answered;
    }
    bool write(uint32_t addr, unsigned width, uint32_t) override
    {
        accesses.emplace_back(addr, width);
        return addr == answered || emu::inFlash(addr);
    }
};

class Directed : public ::testing::Test {
protected:
    Memories memory;
    NoSystem system;
    OneRegisterBus bus;
    Registers regs;
    uint32_t fault = 0;

    Stop run(const std::vector<uint16_t>& code)
    {
        std::memcpy(&memory.flash[kCode - kFlashBase], code.data(), code.size() * 2);
        emu::thumb::Memory view = memory.view();
        view.bus = &bus;
        Block block;
        EXPECT_TRUE(emu::thumb::decode(view, kCode, kCode + static_cast<uint32_t>(code.size() * 2), &block));
        regs.r[15] = kCode;
        return emu::thumb::Interpreter(regs, view, system).run(block, &fault);
    }
};

TEST_F(Directed, ItBlocksOfEveryMaskRunThenAndElseSlotsAndLeaveTheFlags)
{
    constexpr uint32_t kZ = 1U << 30;
    for (unsigned mask = 1; mask < 16; ++mask) {
        const auto slots = 4U - static_cast<unsigned>(std::countr_zero(mask));
        std::vector<uint16_t> code{static_cast<uint16_t>(0xBF00U | mask)};  // IT<x..> EQ
        for (unsigned k = 0; k < slots; ++k) {
            code.push_back(static_cast<uint16_t>(0x2001U | k << 8));  // movs rk, #1: no flags inside IT
        }
        code.push_back(0x2500);  // movs r5, #0: outside again, sets Z
        regs = Registers{};
        regs.setApsr(kZ);
        ASSERT_EQ(run(code), Stop::Ended) << mask;
        for (unsigned k = 0; k < slots; ++k) {
            const bool then = k == 0 || ((mask >> (4 - k)) & 1U) == 0;  // EQ's low bit is 0
            EXPECT_EQ(regs.r[k], then ? 1U : 0U) << "mask " << mask << " slot " << k;
        }
        EXPECT_EQ(regs.apsr(), kZ) << mask;
        EXPECT_EQ(regs.itState, 0U) << mask;
        EXPECT_EQ(regs.r[15], kCode + 2 * (slots + 2)) << mask;
    }
}

TEST_F(Directed, AFaultInsideAnItBlockLeavesItstateAsBeforeTheFaultingInstruction)
{
    regs.setApsr(1U << 30);  // Z: EQ passes
    regs.r[1] = 0x40000004U;  // nothing answers there
    // ittt eq; movs r0, #1; ldr r3, [r1]; movs r2, #1
    ASSERT_EQ(run({0xBF02, 0x2001, 0x680B, 0x2201}), Stop::BusError);
    EXPECT_EQ(regs.itState, 0x04U);  // the IT block's second slot still to run
    EXPECT_EQ(regs.r[15], kCode + 4);
    EXPECT_EQ(regs.r[0], 1U);
    EXPECT_EQ(regs.r[2], 0U);
}

// An IT block going on past its block's end (cut by a limit): the IT instruction run on its own leaves
// ITSTATE, so that its slots stay conditional in this block and in the next.
TEST_F(Directed, AnItBlockGoingOnPastItsBlockKeepsItsSlotsConditional)
{
    // itte eq; movs r0, #1 | movs r1, #1; movs r2, #1 (inside the IT block: no flags), with Z clear
    const std::vector<uint16_t> code{0xBF06, 0x2001, 0x2101, 0x2201};
    std::memcpy(&memory.flash[kCode - kFlashBase], code.data(), code.size() * 2);
    emu::thumb::Memory view = memory.view();
    Block first;
    Block second;
    ASSERT_TRUE(emu::thumb::decode(view, kCode, kCode + 4, &first));
    ASSERT_TRUE(emu::thumb::decode(view, kCode + 4, kCode + 8, &second));
    ASSERT_TRUE(first.itGoesOn);
    emu::thumb::Interpreter interpreter(regs, view, system);
    regs.r[15] = kCode;
    ASSERT_EQ(interpreter.run(first, &fault), Stop::Ended);
    EXPECT_EQ(regs.itState, 0x0CU);  // the else slot and one more to come
    ASSERT_EQ(interpreter.run(second, &fault), Stop::Ended);
    EXPECT_EQ(regs.r[0], 0U);
    EXPECT_EQ(regs.r[1], 0U);
    EXPECT_EQ(regs.r[2], 1U);
    EXPECT_EQ(regs.itState, 0U);
}

// Blocks chained by an owner's hook: a stop in the second block is reported of that block (its IT block's
// state), and a chain returns after the limit's blocks.
TEST_F(Directed, ChainedBlocksStopInTheBlockEnteredAndReturnAfterTheLimit)
{
    struct Chain {
        std::map<uint32_t, Block> blocks;
        unsigned entered = 0;
        static Stop enterNext(emu::thumb::Context& c, uint32_t pc)
        {
            auto& chain = *static_cast<Chain*>(c.owner);
            ++chain.entered;
            return emu::thumb::enterBlock(c, chain.blocks.at(pc));
        }
    } chain;
    // movs r4, #0 (Z set: EQ passes); b.n +2 (over a nop) | ittt eq; movs r0, #1; ldr r3, [r1]; movs r2, #1
    const std::vector<uint16_t> code{0x2400, 0xE000, 0xBF00, 0xBF02, 0x2001, 0x680B, 0x2201};
    std::memcpy(&memory.flash[kCode - kFlashBase], code.data(), code.size() * 2);
    emu::thumb::Memory view = memory.view();
    view.bus = &bus;
    for (const uint32_t start : {kCode, kCode + 6}) {
        ASSERT_TRUE(emu::thumb::decode(view, start, kCode + static_cast<uint32_t>(code.size() * 2), &chain.blocks[start]));
    }
    emu::thumb::Interpreter interpreter(regs, view, system);
    interpreter.chainBlocks(Chain::enterNext, &chain, 4);
    regs.r[4] = 7;
    regs.r[1] = 0x40000004U;  // nothing answers there
    regs.r[15] = kCode;
    ASSERT_EQ(interpreter.run(chain.blocks.at(kCode), &fault), Stop::BusError);
    EXPECT_EQ(chain.entered, 1U);
    EXPECT_EQ(regs.itState, 0x04U);
    EXPECT_EQ(regs.r[15], kCode + 10);
    EXPECT_EQ(regs.r[4], 0U);
    EXPECT_EQ(regs.r[0], 1U);

    // adds r5, #1; b.n -4 (itself), chained 4 times after the first
    const std::vector<uint16_t> loop{0x3501, 0xE7FD};
    std::memcpy(&memory.flash[kCode - kFlashBase], loop.data(), loop.size() * 2);
    chain.blocks.clear();
    ASSERT_TRUE(emu::thumb::decode(view, kCode, kCode + 4, &chain.blocks[kCode]));
    regs = Registers{};
    regs.r[15] = kCode;
    ASSERT_EQ(interpreter.run(chain.blocks.at(kCode), &fault), Stop::Ended);
    EXPECT_EQ(regs.r[5], 5U);
    EXPECT_EQ(regs.r[15], kCode);
}

TEST_F(Directed, ExceptionReturnValuesLoadedByPopAndBxLrStopWithTheLoadDone)
{
    regs.r[13] = kRamBase + 0x100U;
    const uint32_t frame[] = {0x11U, 0xFFFFFFF9U};
    std::memcpy(&memory.ram[0x100], frame, sizeof frame);
    ASSERT_EQ(run({0xBD10}), Stop::ExceptionReturn);  // pop {r4, pc}
    EXPECT_EQ(regs.r[15], 0xFFFFFFF9U);
    EXPECT_EQ(regs.r[4], 0x11U);
    EXPECT_EQ(regs.r[13], kRamBase + 0x108U);

    regs.r[14] = 0xFFFFFFFDU;
    ASSERT_EQ(run({0x4770}), Stop::ExceptionReturn);  // bx lr
    EXPECT_EQ(regs.r[15], 0xFFFFFFFDU);

    regs.r[14] = 0xEFFFFFFFU;  // just below: an ordinary branch
    ASSERT_EQ(run({0x4770}), Stop::Ended);
    EXPECT_EQ(regs.r[15], 0xEFFFFFFEU);
}

TEST_F(Directed, ARefusedAccessLeavesNoEffectOfItsInstruction)
{
    regs.r[1] = 0x40000000U;
    // adds r5, #1; ldmia r1!, {r2, r3}: the bus answers the first word, not the second
    ASSERT_EQ(run({0x3501, 0xC90C}), Stop::BusError);
    EXPECT_EQ(regs.r[5], 1U) << "the instruction before it ran";
    EXPECT_EQ(regs.r[1], 0x40000000U);
    EXPECT_EQ(regs.r[2], 0U);
    EXPECT_EQ(regs.r[3], 0U);
    EXPECT_EQ(regs.r[15], kCode + 2);
    EXPECT_EQ(fault, 0x40000004U);
    EXPECT_EQ(bus.accesses, (std::vector<std::pair<uint32_t, unsigned>>{{0x40000000U, 4}, {0x40000004U, 4}}));

    regs.r[1] = 0x40000000U;  // answered: loaded and written back
    ASSERT_EQ(run({0xF851, 0x0B04}), Stop::Ended);  // ldr r0, [r1], #4
    EXPECT_EQ(regs.r[0], 0x12345678U);
    EXPECT_EQ(regs.r[1], 0x40000004U);

    regs.r[1] = 0x30000000U;  // nothing there at all
    ASSERT_EQ(run({0xF851, 0x0B04}), Stop::BusError);  // ldr r0, [r1], #4
    EXPECT_EQ(regs.r[1], 0x30000000U) << "no write-back";
    EXPECT_EQ(regs.r[15], kCode);
    EXPECT_EQ(fault, 0x30000000U);
}

TEST_F(Directed, LdrdNeedsWordAlignmentWhereLdrAndStoresIntoFlashGoOn)
{
    regs.r[1] = kRamBase + 2;
    ASSERT_EQ(run({0xE9D1, 0x2300}), Stop::Unaligned);  // ldrd r2, r3, [r1]
    EXPECT_EQ(fault, kRamBase + 2);
    EXPECT_EQ(regs.r[15], kCode);

    const uint8_t bytes[] = {0x11, 0x22, 0x33, 0x44, 0x55};
    std::memcpy(&memory.ram[1], bytes, sizeof bytes);
    regs.r[1] = kRamBase + 1;
    ASSERT_EQ(run({0x6808}), Stop::Ended);  // ldr r0, [r1]
    EXPECT_EQ(regs.r[0], 0x44332211U);

    bus.accesses.clear();
    regs.r[1] = kFlashBase + 0x80000U;
    ASSERT_EQ(run({0x8008}), Stop::Ended);  // strh r0, [r1]
    EXPECT_EQ(bus.accesses, (std::vector<std::pair<uint32_t, unsigned>>{{kFlashBase + 0x80000U, 2}}));
    EXPECT_EQ(memory.flash[0x80000], 0U) << "the flash interface programs it, not the store";
}

TEST_F(Directed, WhatCompilersEmitRunsAndUnallocatedEncodingsAreRefused)
{
    regs.r[12] = 0x7000FFFEU;  // bottom half -2
    regs.r[0] = 0x00030005U;
    regs.r[1] = 0x3F800000U;
    regs.r[2] = 0x40000000U;
    // smlabb r2, r12, r0, r2; vmov d0, r1, r2
    ASSERT_EQ(run({0xFB1C, 0x2200, 0xEC42, 0x1B10}), Stop::Ended);
    EXPECT_EQ(regs.r[2], 0x40000000U - 10U);
    EXPECT_EQ(regs.s[0], 0x3F800000U);
    EXPECT_EQ(regs.s[1], 0x3FFFFFF6U);
    // an extend with no such form, a miscellaneous slot, a long multiply slot, a v8 VRINT, UDF
    for (const std::vector<uint16_t>& code : std::vector<std::vector<uint16_t>>{
             {0xFA60, 0xF080}, {0xFAB0, 0xF090}, {0xFBF0, 0x0000}, {0xEEB6, 0x0A40}, {0xDE00}}) {
        EXPECT_EQ(run(code), Stop::Undefined) << std::hex << code[0];
        EXPECT_EQ(regs.r[15], kCode);
    }
}

// Instructions that read pc as a register see their own address plus 4, in the middle of a block too.
TEST_F(Directed, InstructionsReadingPcSeeTheirAddressPlusFour)
{
    regs.r[0] = 1;
    regs.r[1] = 0x100;
    // mov r2, pc; add r1, pc; tbb [pc, r0]; the table: 1, 2
    ASSERT_EQ(run({0x467A, 0x4479, 0xE8DF, 0xF000, 0x0201}), Stop::Ended);
    EXPECT_EQ(regs.r[2], kCode + 4);
    EXPECT_EQ(regs.r[1], 0x100 + kCode + 6);
    EXPECT_EQ(regs.r[15], kCode + 8 + 2 * 2);
}

// A fused multiply-add whose sum, rounded to a double, lies half-way between two singles although the
// exact sum lies below: rounded from the double it would tie to the even single above. With the inexact
// flag held already and without, rounding to nearest.
TEST_F(Directed, AFusedMultiplyAddRoundsItsExactSumNotItsDoubleRounding)
{
    for (const uint32_t fpscr : {0x10U, 0x0U}) {
        regs.fpscr = fpscr;
        regs.s[0] = 0x3F800001U;  // 1 + 2^-23
        regs.s[1] = 0x337FFE00U;  // (1 - 2^-15) * 2^-24
        regs.s[2] = 0x3F800100U;  // 1 + 2^-15: the product is 2^-24 - 2^-54
        ASSERT_EQ(run({0xEEA0, 0x0A81}), Stop::Ended);  // vfma.f32 s0, s1, s2
        EXPECT_EQ(regs.s[0], 0x3F800001U) << fpscr;
        EXPECT_EQ(regs.fpscr, 0x10U) << fpscr;  // inexact
    }
}

// MSR and MRS keep N Z C V Q and GE themselves and pass the rest to the core; CPS too.
TEST(ThumbSystem, MsrAndMrsSplitTheApsrFromTheCoresSpecialRegisters)
{
    struct Recording final : emu::thumb::SystemRegisters {
        std::vector<std::pair<unsigned, uint32_t>> writes;
        std::vector<unsigned> reads;
        std::vector<bool> cps;  // disable, primask, faultmask
        uint32_t readSpecial(unsigned sysm) override
        {
            reads.push_back(sysm);
            return sysm == 3 ? 0x23U : 0x55U;  // the exception number in xPSR's IPSR part
        }
        void writeSpecial(unsigned sysm, uint32_t value) override { writes.emplace_back(sysm, value); }
        void changeProcessorState(bool disable, bool primask, bool faultmask) override
        {
            cps = {disable, primask, faultmask};
        }
    } system;
    Memories memory;
    const emu::thumb::Memory view = memory.view();
    const auto runAt = [&](std::vector<uint16_t> code, Registers& regs) {
        std::memcpy(&memory.flash[kCode - kFlashBase], code.data(), code.size() * 2);
        Block block;
        EXPECT_TRUE(emu::thumb::decode(view, kCode, UINT32_MAX, &block));
        regs.r[15] = kCode;
        uint32_t fault = 0;
        return emu::thumb::Interpreter(regs, view, system).run(block, &fault);
    };
    Registers regs;
    regs.r[0] = 0xA80F0000U;  // N C Q, GE all set
    regs.r[1] = 0x20001000U;
    EXPECT_EQ(runAt({0xF380, 0x8C00}, regs), Stop::Ended);  // msr APSR_nzcvqg, r0
    EXPECT_EQ(regs.apsr(), 0xA80F0000U);
    EXPECT_TRUE(system.writes.empty());
    EXPECT_EQ(runAt({0xF381, 0x8808}, regs), Stop::Ended);  // msr MSP, r1
    EXPECT_EQ(system.writes, (std::vector<std::pair<unsigned, uint32_t>>{{8U, 0x20001000U}}));
    EXPECT_EQ(runAt({0xF3EF, 0x8203, 0xB672}, regs), Stop::Ended);  // mrs r2, xPSR; cpsid i
    EXPECT_EQ(regs.r[2], 0xA80F0023U);
    EXPECT_EQ(system.cps, (std::vector<bool>{true, true, false}));
    EXPECT_EQ(regs.r[15], kCode + 6) << "CPS ends the block";
}

// Unicorn ends its translated blocks also at its 1 KB pages and after YIELD and a write of FPSCR; ours go
// on to the next instruction that changes the flow or needs the core.
bool endsOnlyInUnicorn(const emu::thumb::Memory& memory, uint32_t start, uint32_t bytes)
{
    constexpr uint32_t kPage = 1024;
    const uint32_t end = start + bytes;
    uint16_t next = 0;
    uint16_t last[2] = {};
    std::memcpy(&next, memory.readable(end, 2), 2);
    std::memcpy(last, memory.readable(end - 4, 4), 4);
    const bool crossesPage = end % kPage == 0 || (next >= 0xE800U && end % kPage == kPage - 2);
    const bool vmsr = (last[0] & 0xFFFFU) == 0xEEE1U && (last[1] & 0x0FFFU) == 0x0A10U;
    return crossesPage || last[1] == 0xBF10U || vmsr;
}

TEST(ThumbBlocks, DecodeEndsBlocksWhereUnicornDoesOnTheImageBesidesItsPagesYieldAndFpscrWrites)
{
    emu::ElfImage image;
    if (!image.loadFile(ENDPOINT_ELF).empty()) {
        GTEST_SKIP() << "no image at " << ENDPOINT_ELF << ": build the stm32f413 preset first";
    }
    ImageInUnicorn unicorn(image);
    unicorn.run(3000000);
    ASSERT_GT(unicorn.blocks.size(), 250U) << "Unicorn stopped early in the image's start-up";
    const emu::thumb::Memory memory{unicorn.flash.data(), emu::kFlashBase, emu::kFlashSize,
                                    unicorn.ram.data(),   emu::kRamBase,   emu::kRamSize, nullptr};
    unsigned differing = 0;
    for (const auto& [start, bytes] : unicorn.blocks) {
        Block block;
        ASSERT_TRUE(emu::thumb::decode(memory, start, UINT32_MAX, &block));
        const bool longer = block.bytes > bytes && endsOnlyInUnicorn(memory, start, bytes);
        if (block.bytes != bytes && !longer && ++differing <= 10) {
            ADD_FAILURE() << std::hex << "block at 0x" << start << ": Unicorn 0x" << bytes << " bytes, ours 0x"
                          << block.bytes;
        }
    }
    std::printf("%zu blocks compared\n", unicorn.blocks.size());
}

TEST_F(Directed, BlocksRunOnAcrossPagesYieldAndFpscrWrites)
{
    const uint32_t nearPageEnd = kCode + 1024 - 4;
    // nop; yield; vmsr fpscr, r0; nop.w (across the 1 KB line); b .
    const uint16_t code[] = {0xBF00, 0xBF10, 0xEEE1, 0x0A10, 0xF3AF, 0x8000, 0xE7FE};
    std::memcpy(&memory.flash[nearPageEnd - 4 - kFlashBase], code, sizeof code);
    Block block;
    ASSERT_TRUE(emu::thumb::decode(memory.view(), nearPageEnd - 4, UINT32_MAX, &block));
    EXPECT_EQ(block.count, 5U);
    EXPECT_EQ(block.bytes, sizeof code);
}

// The compiled DSP and FPU program, run by Unicorn: the result it checks itself against holds there too.
TEST(ThumbPrograms, CompiledDspAndFpuProgramGetsItsOwnResultInUnicorn)
{
    emu::ElfImage image;
    ASSERT_EQ(image.loadFile(EMU_PROGRAMS_DIR "/dsp_fpu.elf"), "");
    ImageInUnicorn unicorn(image);
    unicorn.run(0, image.addressOf("done"));
    const auto word = [&](const char* name) {
        uint32_t v = 0;
        std::memcpy(&v, &unicorn.ram[image.addressOf(name) - emu::kRamBase], 4);
        return v;
    };
    EXPECT_EQ(word("rounds_done"), 40U);
    EXPECT_EQ(word("mismatches"), 0U) << std::hex << word("checksum");
}

}  // namespace
}  // namespace emu_test
