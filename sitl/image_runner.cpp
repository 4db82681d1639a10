#include "sitl/image_runner.hpp"

#include <algorithm>
#include <cstring>
#include <optional>

#include "platform/emu/core.hpp"
#include "platform/emu/elf_image.hpp"
#include "platform/emu/memory_map.hpp"
#include "platform/sim/sim.hpp"
#include "platform/sim/sim_flash.hpp"

namespace sitl {

namespace {

constexpr uint64_t kNsPerSecond = 1000000000U;
constexpr uint64_t kSliceNs = 1000000U;
constexpr uint32_t kCoreExceptions = 16;
constexpr uint32_t kFlashCr = FLASH_R_BASE + offsetof(FLASH_TypeDef, CR);

}  // namespace

// The simulator's models as the emulated core's bus and interrupt controller. Before every access the
// models' clock catches up with the cycles the core has run, so a register read sees the chip as it is
// at that instruction block.
struct ImageNode::Chip final : emu::Bus, emu::InterruptSource {
    emu::ElfImage image;
    emu::Core core{*this, *this};
    uint64_t synced_cycles = 0;
    uint64_t ns_remainder = 0;  // cycle time below a nanosecond, carried over
    uint64_t event_due_cycles = 0;  // the core's cycle count at which the next model event is due

    void catchUp()
    {
        const uint64_t cycles = core.cycles();
        const uint64_t hz = sim::clocks().hclk;
        if (cycles > synced_cycles && hz != 0U) {
            const uint64_t scaled = (cycles - synced_cycles) * kNsPerSecond + ns_remainder;
            synced_cycles = cycles;
            ns_remainder = scaled % hz;
            sim::advanceNs(scaled / hz);
        }
        watchNextEvent();
    }

    // An access may have scheduled an event (a character started, a frame queued): watch for it.
    void watchNextEvent()
    {
        const uint64_t next = sim::nextEventNs();
        event_due_cycles = next == UINT64_MAX ? UINT64_MAX
                                              : synced_cycles + (next - sim::nowNs()) * sim::clocks().hclk / kNsPerSecond;
    }

    // The core reads the data sectors from its own flash: keep it what the flash model holds.
    void mirrorFlash(uint32_t address, uint32_t bytes)
    {
        const uint32_t first = address - FLASH_DATA_START;
        std::memcpy(core.flash().data() + (address - emu::kFlashBase),
                    reinterpret_cast<const uint8_t*>(sim::flashContent) + first, bytes);
    }

    bool read(uint32_t addr, unsigned width, uint32_t* value) override
    {
        catchUp();
        const bool answered = sim::busRead(addr, width, value);
        watchNextEvent();
        return answered;
    }

    bool write(uint32_t addr, unsigned width, uint32_t value) override
    {
        catchUp();
        if (!sim::busWrite(addr, width, value)) {
            return false;
        }
        watchNextEvent();
        if (addr - FLASH_DATA_START < FLASH_DATA_SIZE) {
            mirrorFlash(addr, width);  // a programming write
        } else if (addr == kFlashCr) {
            mirrorFlash(FLASH_DATA_START, FLASH_DATA_SIZE);  // a sector erase may have started
        }
        return true;
    }

    // Asked at every instruction block: also where the models' time catches up when an event is due, so
    // that code spinning on RAM alone still sees its interrupts on time.
    std::optional<emu::PendingException> highestPending() override
    {
        if (core.cycles() >= event_due_cycles) {
            catchUp();
        }
        sim::ExceptionRequest request{};
        if (!sim::pendingException(&request)) {
            return std::nullopt;
        }
        return emu::PendingException{static_cast<unsigned>(request.irq + static_cast<int>(kCoreExceptions)),
                                     request.priority};
    }

    void acknowledge(unsigned number) override
    {
        catchUp();
        sim::acknowledgeException(static_cast<int>(number) - static_cast<int>(kCoreExceptions));
    }

    // A line still raised stays pending by itself.
    void completed(unsigned) override {}
};

ImageNode::ImageNode() : chip_(std::make_unique<Chip>()) {}
ImageNode::~ImageNode() { sim::setCoreTakesExceptions(false); }

std::string ImageNode::powerOn(const std::string& elf_path)
{
    std::string error = chip_->image.loadFile(elf_path);
    if (error.empty()) {
        error = chip_->core.load(chip_->image);
    }
    if (!error.empty()) {
        return elf_path + ": " + error;
    }
    sim::setCoreTakesExceptions(true);
    chip_->mirrorFlash(FLASH_DATA_START, FLASH_DATA_SIZE);
    chip_->catchUp();
    return {};
}

bool ImageNode::runUntilNs(uint64_t t_ns)
{
    while (sim::nowNs() < t_ns) {
        // In slices of at most a millisecond: the core clock may change within one.
        const uint64_t until = std::min(t_ns, sim::nowNs() + kSliceNs);
        const uint64_t hz = sim::clocks().hclk;
        const uint64_t budget = std::max<uint64_t>(1U, (until - sim::nowNs()) * hz / kNsPerSecond);
        const emu::Stop stop = chip_->core.run(budget);
        chip_->catchUp();
        if (stop != emu::Stop::BudgetUsed) {
            return false;
        }
    }
    return true;
}

std::string ImageNode::report() const { return chip_->core.report().text(); }
uint64_t ImageNode::instructions() const { return chip_->core.instructions(); }
uint64_t ImageNode::cycles() const { return chip_->core.cycles(); }

}  // namespace sitl
