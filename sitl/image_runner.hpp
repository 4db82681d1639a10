#pragma once
// The flashed image itself on the simulated chip: the ELF that is flashed, executed instruction by
// instruction on the emulated Cortex-M4 core, whose memory-mapped peripherals are the simulator's models
// (the same ones the host-compiled node drives). Virtual time follows the cycles the core executes.

#include <cstdint>
#include <memory>
#include <string>

#include "sitl/profile.hpp"

namespace sitl {

class ImageNode {
public:
    ImageNode();
    ~ImageNode();
    ImageNode(const ImageNode&) = delete;
    ImageNode& operator=(const ImageNode&) = delete;

    // Loads the image and takes the core out of reset, on the models as the caller set them up (sim::reset,
    // unique ID, flash, buses). With a bootloader its image shares the flash (its symbols as "boot:NAME")
    // and, lowest in flash, is what the core starts. An empty string, or what is wrong with a file.
    std::string powerOn(const std::string& elf_path, const std::string& boot_path = {});

    // Runs the image until virtual time reaches t_ns. False if it stopped before, at a breakpoint or a
    // fault; report() then says where and why. A system reset the image requests is a power cycle of the
    // chip on the same flash, at the end of the millisecond slice it came in: a new core runs the image
    // from its reset vector, the buses go on. The profile then covers the last power-on only.
    bool runUntilNs(uint64_t t_ns);
    std::string report() const;

    // The power goes and comes back: RAM and peripherals start afresh, the flash keeps what it holds (an
    // operation a cut stopped as far as it got). A system reset the image requests keeps the RAM instead.
    void powerCycle();

    // From virtual time t_ns on, the main loop makes no progress (the core spins at its entry) while
    // interrupts go on, until the chip is reset.
    void hangFromNs(uint64_t t_ns) { hang_ns_ = t_ns; }

    // What the run cost on the chip: instructions and cycles, main-loop passes and their cycles, the
    // longest interrupt, the deepest stacks, the receive overflows the firmware counted.
    void profile(Profile* out) const;
    // From now on, across resets, the cycles are counted by function (some per cent of the core's speed).
    void countCyclesByFunction();
    // Where the cycles went since then: "function,cycles,percent" lines, most expensive first (the
    // exception entries and returns as one line of their own).
    std::string functionProfile() const;

private:
    struct Chip;
    std::unique_ptr<Chip> chip_;
    uint64_t hang_ns_ = UINT64_MAX;
    bool count_by_function_ = false;

    // Takes the core out of reset with the loaded image: an empty string, or why the core refuses it.
    // `flashed`: the image was just flashed (its application sectors go into the flash model).
    std::string start(bool flashed);
    // A new core on the same flash, the SRAM's content kept (a system reset) or not (a power cycle).
    void restart(bool keep_ram);
};

}  // namespace sitl
