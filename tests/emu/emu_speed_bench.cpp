// How fast the emulated core runs a loop: emulated cycles per wall-clock second (the chip runs 96 M).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/emu/core.hpp"
#include "platform/emu/memory_map.hpp"
#include "platform/emu/thumb_run.hpp"
#include "tests/emu/test_chip.hpp"

namespace {

void emulatedLoop(benchmark::State& state)
{
    emu_test::TestChip chip;
    emu::ElfImage image;
    emu::Core core(chip, chip);
    const std::string error = image.loadFile(std::string(EMU_PROGRAMS_DIR) + "/bench_loop.elf");
    if (!error.empty() || !core.load(image).empty()) {
        state.SkipWithError("cannot load bench_loop.elf");
        return;
    }
    chip.flashAcr = 0x703U;  // 3 wait states, prefetch and both caches, as the node sets them up
    for (auto _ : state) {
        if (core.run(10000000) != emu::Stop::BudgetUsed) {
            state.SkipWithError(core.report().text().c_str());
            return;
        }
    }
    state.counters["cycles_per_second"] =
        benchmark::Counter(static_cast<double>(core.cycles()), benchmark::Counter::kIsRate);
    state.counters["instructions_per_second"] =
        benchmark::Counter(static_cast<double>(core.instructions()), benchmark::Counter::kIsRate);
}
BENCHMARK(emulatedLoop)->Unit(benchmark::kMillisecond)->UseRealTime();  // rates per wall-clock second

struct NoSystemRegisters final : emu::thumb::SystemRegisters {
    uint32_t readSpecial(unsigned) override { return 0; }
    void writeSpecial(unsigned, uint32_t) override {}
    void changeProcessorState(bool, bool, bool) override {}
};

// The same loop on the own interpreter alone: blocks decoded once, looked up by address, run.
void interpretedLoop(benchmark::State& state)
{
    emu_test::TestChip chip;
    emu::ElfImage image;
    if (!image.loadFile(std::string(EMU_PROGRAMS_DIR) + "/bench_loop.elf").empty()) {
        state.SkipWithError("cannot load bench_loop.elf");
        return;
    }
    std::vector<uint8_t> flash(emu::kFlashSize, 0xFF);
    std::vector<uint8_t> ram(emu::kRamSize, 0);
    for (const emu::Segment& s : image.segments()) {
        const bool inFlash = emu::inFlash(s.address);
        std::memcpy((inFlash ? flash.data() + (s.address - emu::kFlashBase) : ram.data() + (s.address - emu::kRamBase)),
                    s.bytes.data(), s.bytes.size());
    }
    const emu::thumb::Memory memory{flash.data(), emu::kFlashBase, emu::kFlashSize, ram.data(), emu::kRamBase,
                                    emu::kRamSize, &chip};
    emu::thumb::Registers regs;
    std::memcpy(&regs.r[13], flash.data(), 4);
    std::memcpy(&regs.r[15], flash.data() + 4, 4);
    regs.r[15] &= ~1U;
    NoSystemRegisters system;
    // A direct-mapped cache of blocks by address, as a core would keep them.
    std::vector<emu::thumb::Block> blocks(4096);
    uint64_t instructions = 0;
    emu::thumb::Interpreter interpreter(regs, memory, system);
    for (auto _ : state) {
        for (unsigned k = 0; k < 1000000; ++k) {
            emu::thumb::Block& block = blocks[(regs.r[15] >> 1) & 4095U];
            if (block.start != regs.r[15] || block.count == 0) {
                emu::thumb::decode(memory, regs.r[15], UINT32_MAX, &block);
            }
            uint32_t fault = 0;
            if (interpreter.run(block, &fault) != emu::thumb::Stop::Ended) {
                state.SkipWithError("the loop stopped");
                return;
            }
            instructions += block.count;
        }
    }
    state.counters["instructions_per_second"] =
        benchmark::Counter(static_cast<double>(instructions), benchmark::Counter::kIsRate);
}
BENCHMARK(interpretedLoop)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
