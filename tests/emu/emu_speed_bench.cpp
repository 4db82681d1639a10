// How fast the emulated core runs a loop: emulated cycles per wall-clock second (the chip runs 96 M).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>

#include "platform/emu/core.hpp"
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

}  // namespace
