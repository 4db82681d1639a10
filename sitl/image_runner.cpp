#include "sitl/image_runner.hpp"

#include <cxxabi.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string_view>
#include <vector>

#include "firmware/board/kernel.hpp"
#include "firmware/drivers/bxcan.hpp"
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
constexpr uint32_t kModelledFlash = FLASH_APP_SIZE + FLASH_DATA_SIZE;
// Unused stack is painted with this; the deepest word that changed shows how deep a stack went.
constexpr uint8_t kPaint = 0xA5;
// What the painting of the task's stack leaves alone below the stack pointer when the task starts.
constexpr uint32_t kPaintMargin = 64;

// The firmware's counters per port, as bxcan keeps them.
// overflows first).
constexpr const char* kStatsSymbol = "_ZN12_GLOBAL__N_17g_statsE";
constexpr uint32_t kStatsBytes = sizeof(BxcanStats);

// What a main-loop pass may do besides polling, each known by a function only it calls: the passes in
// which one ran are reported apart (a pass doing two counts for both).
struct Activity {
    const char* label;
    const char* function;
};
constexpr Activity kActivities[] = {
    {"rawcommand", "uavcan_equipment_esc_RawCommand_decode_internal"},
    {"arraycommand", "uavcan_equipment_actuator_ArrayCommand_decode_internal"},
    {"vote", "qon_zb5_UseFlightController_decode_internal"},
    {"ignore", "FcSelect::ignoreHandleXport"},
    {"getset", "ParamServer::getsetHandleXport"},
    {"getnodeinfo", "NodeIdentity::onGetNodeInfoRx"},
    {"allocation", "NodeIdentity::onDynNodeRx"},
    {"parameter_write", "NVMSet"},
    {"page_transfer", "finishTransfer"},  // the store's move to its other page (or, at start-up, its repair)
    {"erase", "FLASH_EraseSector"},       // the chip stalled for a sector erase
    {"nodestatus", "uavcan_protocol_NodeStatus_encode"},
    {"visibility", "qon_zb5_VisibleFlightController_encode"},
};
constexpr std::size_t kActivityCount = sizeof(kActivities) / sizeof(kActivities[0]);

// The passes the receive buffers' bound does not cover: a page transfer, and an erase (the chip stalled).
constexpr uint32_t activityBit(const char* label)
{
    for (std::size_t i = 0; i < kActivityCount; ++i) {
        if (std::string_view(kActivities[i].label) == label) {
            return 1U << i;
        }
    }
    return 0;
}
constexpr uint32_t kStoreMoves = activityBit("page_transfer") | activityBit("erase");
static_assert(kStoreMoves != 0U);

struct PassStats {
    uint64_t count = 0;
    uint64_t sum = 0;
    uint64_t max = 0;
};

uint64_t percentile(std::vector<uint64_t> values, unsigned percent)
{
    if (values.empty()) {
        return 0;
    }
    const std::size_t at = (values.size() - 1U) * percent / 100U;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at), values.end());
    return values[at];
}

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

    // Profile: the cycles of every main-loop pass (from one entry of MainTaskPass to the next), and the
    // painted stack areas [bottom, top).
    std::vector<uint64_t> pass_cycles;
    uint64_t last_pass_start = 0;
    uint64_t first_pass_cycles = 0;  // from reset to the main loop
    uint32_t pass_activities = 0;    // bit per kActivities entry seen in the pass under way
    std::array<PassStats, kActivityCount> activity_passes{};
    uint64_t routine_pass_max = 0;   // the longest pass that neither moved the store's page nor erased
    uint32_t main_stack_bottom = 0, main_stack_top = 0;
    uint32_t task_stack_bottom = 0, task_stack_top = 0;

    uint8_t* ramAt(uint32_t address) { return core.ram().data() + (address - emu::kRamBase); }

    void paint(uint32_t bottom, uint32_t top)
    {
        if (bottom < top && emu::inRam(bottom, top - bottom)) {
            std::memset(ramAt(bottom), kPaint, top - bottom);
        }
    }

    // Bytes below `top` that are no longer paint: the deepest the stack went.
    uint32_t deepest(uint32_t bottom, uint32_t top)
    {
        if (bottom >= top || !emu::inRam(bottom, top - bottom)) {
            return 0;
        }
        uint32_t a = bottom;
        while (a < top && *ramAt(a) == kPaint) {
            ++a;
        }
        return top - a;
    }

    void watchForProfile()
    {
        if (const uint32_t pass = image.addressOf("_Z12MainTaskPassv"); pass != 0U) {
            core.watch(pass, [this](uint64_t cycles) {
                if (last_pass_start != 0U) {
                    pass_cycles.push_back(cycles - last_pass_start);
                    for (std::size_t i = 0; i < kActivityCount; ++i) {
                        if ((pass_activities & (1U << i)) != 0U) {
                            PassStats& st = activity_passes[i];
                            ++st.count;
                            st.sum += cycles - last_pass_start;
                            st.max = std::max(st.max, cycles - last_pass_start);
                        }
                    }
                    if ((pass_activities & kStoreMoves) == 0U) {
                        routine_pass_max = std::max(routine_pass_max, cycles - last_pass_start);
                    }
                    pass_activities = 0;
                } else {
                    first_pass_cycles = cycles;
                }
                last_pass_start = cycles;
            });
        }
        for (std::size_t i = 0; i < kActivityCount; ++i) {
            if (const uint32_t f = image.functionNamed(kActivities[i].function); f != 0U) {
                core.watch(f, [this, i](uint64_t) { pass_activities |= 1U << i; });
            }
        }
        // The main stack lies above the zeroed RAM, untouched by start-up: paint it before reset.
        main_stack_bottom = image.addressOf("_ebss");
        main_stack_top = image.addressOf("_estack");
        paint(main_stack_bottom, main_stack_top);
        // The task's stack is carved from the kernel heap, above its guard band: paint it as the task
        // starts, below where its stack pointer then is.
        const uint32_t heap = image.addressOf("ucHeap");
        if (const uint32_t task = image.addressOf("_Z8MainTaskPKv"); task != 0U && heap != 0U) {
            core.watch(task, [this, heap](uint64_t) {
                task_stack_bottom = heap + static_cast<uint32_t>(kStackGuardWords * sizeof(uint32_t));
                task_stack_top = core.psp();
                paint(task_stack_bottom, task_stack_top - kPaintMargin);
            });
        }
    }

    void catchUp()
    {
        advanceModels();
        watchNextEvent();
    }

    // The models' clock to the core's cycle count.
    void advanceModels()
    {
        const uint64_t cycles = core.cycles();
        const uint64_t hz = sim::clocks().hclk;
        if (cycles > synced_cycles && hz != 0U) {
            const uint64_t scaled = (cycles - synced_cycles) * kNsPerSecond + ns_remainder;
            synced_cycles = cycles;
            ns_remainder = scaled % hz;
            // Before the event watched for, no model has anything to do: time alone moves.
            if (cycles + 1U < event_due_cycles) {  // a cycle short: the conversion rounds down
                sim::advanceQuietNs(scaled / hz);
            } else {
                sim::advanceNs(scaled / hz);
            }
        }
    }

    // An access may have scheduled an event (a character started, a frame queued): watch for it.
    void watchNextEvent()
    {
        const uint64_t next = sim::nextEventNs();
        event_due_cycles = next == UINT64_MAX ? UINT64_MAX
                                              : synced_cycles + (next - sim::nowNs()) * sim::clocks().hclk / kNsPerSecond;
    }

    // The core reads the modelled sectors (the application's and the data sectors) from its own flash:
    // keep it what the flash model holds.
    void mirrorFlash(uint32_t address, uint32_t bytes)
    {
        const uint32_t first = address - FLASH_APP_START;
        std::memcpy(core.flash().data() + (address - emu::kFlashBase),
                    reinterpret_cast<const uint8_t*>(sim::flashCellContent) + first, bytes);
    }

    // The image's application sectors as a programmer leaves them, into the flash model.
    void loadApplicationSectors()
    {
        sim::flashLoad(FLASH_APP_START, core.flash().data() + (FLASH_APP_START - emu::kFlashBase), FLASH_APP_SIZE);
    }

    // The next fetch from flash waits for an operation just started: the whole wait, charged at once.
    void stallWhileFlashBusy()
    {
        const uint64_t until = sim::flashBusyUntilNs();
        const uint64_t hz = sim::clocks().hclk;
        if (until > sim::nowNs()) {
            core.stall(((until - sim::nowNs()) * hz + kNsPerSecond - 1U) / kNsPerSecond);
        }
    }

    // The next event is looked for after the access only: it may have scheduled one.
    bool read(uint32_t addr, unsigned width, uint32_t* value) override
    {
        advanceModels();
        const bool answered = sim::busRead(addr, width, value);
        watchNextEvent();
        return answered;
    }

    bool write(uint32_t addr, unsigned width, uint32_t value) override
    {
        advanceModels();
        if (!sim::busWrite(addr, width, value)) {
            return false;
        }
        if (addr - FLASH_APP_START < kModelledFlash) {
            mirrorFlash(addr, width);  // a programming write
        } else if (addr == kFlashCr && (value & FLASH_CR_STRT) != 0U) {
            mirrorFlash(FLASH_APP_START, kModelledFlash);  // a sector erase may have started
        }
        stallWhileFlashBusy();
        watchNextEvent();
        return true;
    }

    // Also where the models' time catches up when an event is due, so that code spinning on RAM alone
    // still sees its interrupts on time: with nothing pending, the core asks again once that event is due.
    std::optional<emu::PendingException> highestPending(uint64_t* quietUntil) override
    {
        if (core.cycles() >= event_due_cycles) {
            catchUp();
        }
        sim::ExceptionRequest request{};
        if (!sim::pendingException(&request)) {
            *quietUntil = event_due_cycles;
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
ImageNode::~ImageNode()
{
    sim::setAccessLocator(nullptr);
    sim::setCoreTakesExceptions(false);
}

std::string ImageNode::powerOn(const std::string& elf_path, const std::string& boot_path)
{
    std::string error = chip_->image.loadFile(elf_path);
    if (error.empty() && !boot_path.empty()) {
        emu::ElfImage boot;
        error = boot.loadFile(boot_path);
        if (error.empty()) {
            error = chip_->image.add(boot, "boot:");
        }
        if (!error.empty()) {
            return boot_path + ": " + error;
        }
    }
    if (error.empty()) {
        error = start(true);
    }
    return error.empty() ? error : elf_path + ": " + error;
}

std::string ImageNode::start(bool flashed)
{
    std::string error = chip_->core.load(chip_->image);
    if (!error.empty()) {
        return error;
    }
    // The application's sectors are the image's when it is flashed (unless a flash file of an earlier run
    // holds them); from then on the flash model holds them, and what the bootloader wrote there outlives
    // every reset.
    if (flashed && !sim::flashFileHoldsApplication()) {
        chip_->loadApplicationSectors();
    }
    sim::setCoreTakesExceptions(true);
    sim::setAccessLocator([chip = chip_.get()] {
        const uint32_t pc = chip->core.reg(15);
        char text[48];
        std::snprintf(text, sizeof text, "at pc 0x%08x", static_cast<unsigned>(pc));
        return std::string(text) + " in " + chip->image.functionAt(pc);
    });
    chip_->mirrorFlash(FLASH_APP_START, kModelledFlash);
    chip_->watchForProfile();
    if (count_by_function_) {
        chip_->core.countCyclesByBlock();
    }
    chip_->catchUp();
    return {};
}

void ImageNode::restart(bool keep_ram)
{
    sim::powerCycle();
    emu::ElfImage image = std::move(chip_->image);
    const std::span<uint8_t> old_ram = chip_->core.ram();
    const std::vector<uint8_t> ram = keep_ram ? std::vector<uint8_t>(old_ram.begin(), old_ram.end()) : std::vector<uint8_t>{};
    chip_ = std::make_unique<Chip>();
    chip_->image = std::move(image);
    std::copy(ram.begin(), ram.end(), chip_->core.ram().begin());
    (void)start(false);  // the core took this image at the first power-on
}

void ImageNode::powerCycle() { restart(false); }

void ImageNode::countCyclesByFunction()
{
    count_by_function_ = true;
    chip_->core.countCyclesByBlock();
}

bool ImageNode::runUntilNs(uint64_t t_ns)
{
    while (sim::nowNs() < t_ns) {
        // In slices of at most a millisecond: the core clock may change within one.
        const uint64_t until = std::min(t_ns, sim::nowNs() + kSliceNs);
        const uint64_t hz = sim::clocks().hclk;
        const uint64_t budget = std::max<uint64_t>(1U, (until - sim::nowNs()) * hz / kNsPerSecond);
        if (sim::nowNs() >= hang_ns_) {
            chip_->core.holdAt(chip_->image.addressOf("_Z12MainTaskPassv"));
            hang_ns_ = UINT64_MAX;  // one hang: the power-on after the reset runs normally
        }
        chip_->watchNextEvent();  // the buses may have been given frames since the last slice
        const emu::Stop stop = chip_->core.run(budget);
        chip_->catchUp();
        if (sim::systemResetRequested()) {
            restart(true);
            continue;
        }
        if (stop != emu::Stop::BudgetUsed) {
            return false;
        }
    }
    return true;
}

namespace {

std::string demangled(const std::string& name)
{
    int status = 0;
    char* text = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
    std::string result = status == 0 && text != nullptr ? text : name;
    std::free(text);
    return result;
}

}  // namespace

std::string ImageNode::functionProfile() const
{
    const Chip& c = *chip_;
    std::map<std::string, uint64_t> by_function;
    for (const auto& [address, cycles] : c.core.cyclesByBlock()) {
        by_function[c.image.functionAt(address)] += cycles;
    }
    by_function["(exception entry and return)"] += c.core.exceptionCycles();
    std::vector<std::pair<uint64_t, std::string>> sorted;
    sorted.reserve(by_function.size());
    for (const auto& [name, cycles] : by_function) {
        sorted.emplace_back(cycles, name);
    }
    std::sort(sorted.rbegin(), sorted.rend());
    const double total = static_cast<double>(std::max<uint64_t>(1U, c.core.cycles()));
    std::string text = "function,cycles,percent\n";
    for (const auto& [cycles, name] : sorted) {
        char share[32];
        std::snprintf(share, sizeof share, ",%.2f\n", 100.0 * static_cast<double>(cycles) / total);
        // A demangled name may hold commas (parameter lists): quoted, as CSV wants.
        text += "\"" + demangled(name) + "\"," + std::to_string(cycles) + share;
    }
    return text;
}

std::string ImageNode::report() const { return chip_->core.report().text(); }
void ImageNode::profile(Profile* out) const
{
    Chip& c = *chip_;
    out->add("instructions", c.core.instructions());
    out->add("cycles", c.core.cycles());
    out->add("startup_cycles", c.first_pass_cycles);
    out->add("passes", static_cast<uint64_t>(c.pass_cycles.size()));
    out->add("pass_cycles_p50", percentile(c.pass_cycles, 50));
    out->add("pass_cycles_p99", percentile(c.pass_cycles, 99));
    out->add("pass_cycles_max", c.pass_cycles.empty() ? 0U : *std::max_element(c.pass_cycles.begin(), c.pass_cycles.end()));
    out->add("pass_cycles_max_besides_transfer_and_erase", c.routine_pass_max);
    for (std::size_t i = 0; i < kActivityCount; ++i) {
        const PassStats& st = c.activity_passes[i];
        if (st.count != 0U) {
            const std::string name = std::string("pass_cycles_") + kActivities[i].label;
            out->add(name + "_mean", st.sum / st.count);
            out->add(name + "_max", st.max);
        }
    }
    out->add("isr_cycles_max", c.core.longestHandlerCycles());
    const uint32_t stats = c.image.addressOf(kStatsSymbol);
    for (unsigned port = 0; port < 3; ++port) {
        uint64_t overflows = 0;
        if (stats != 0U && emu::inRam(stats + port * kStatsBytes, sizeof overflows)) {
            std::memcpy(&overflows, c.ramAt(stats + port * kStatsBytes), sizeof overflows);
        }
        out->add("rx_overflow_can" + std::to_string(port + 1U), overflows);
    }
    out->add("stack_task_max_bytes", static_cast<uint64_t>(c.deepest(c.task_stack_bottom, c.task_stack_top)));
    out->add("stack_main_max_bytes", static_cast<uint64_t>(c.deepest(c.main_stack_bottom, c.main_stack_top)));
}

}  // namespace sitl
