#include "platform/emu/core.hpp"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <tuple>

#include "platform/emu/memory_map.hpp"

namespace emu {

namespace {

// The exception numbers Unicorn raises to its interrupt hook (QEMU's EXCP_*).
constexpr uint32_t kExcpSvc = 2;
constexpr uint32_t kExcpBreakpoint = 7;
constexpr uint32_t kExcpExceptionExit = 8;

// An address no instruction starts at, for uc_emu_start's `until`.
constexpr uint64_t kNeverReached = 0xFFFFFFFEU;

void check(uc_err err, const char* what)
{
    if (err != UC_ERR_OK) {
        std::fprintf(stderr, "emu: %s: %s\n", what, uc_strerror(err));
        std::abort();
    }
}

}  // namespace

struct Core::Hooks {
    static Core& core(void* user) { return *static_cast<Core*>(user); }

    static void block(uc_engine*, uint64_t address, uint32_t size, void* user)
    {
        core(user).onBlock(static_cast<uint32_t>(address), size);
    }

    static uint64_t busRead(uc_engine*, uint64_t offset, unsigned size, void* user)
    {
        auto* region = static_cast<Region*>(user);
        const uint32_t addr = region->base + static_cast<uint32_t>(offset);
        region->core->quietUntil_ = 0;  // reading a register may clear or raise a request
        uint32_t value = 0;
        if (!region->core->bus_.read(addr, size, &value)) {
            region->core->faultAtAccess("read of " + std::to_string(size) + " bytes at " + hex(addr) +
                                            ": the bus does not answer",
                                        Access::Read, addr);
        }
        return value;
    }

    static void busWrite(uc_engine*, uint64_t offset, unsigned size, uint64_t value, void* user)
    {
        auto* region = static_cast<Region*>(user);
        Core& c = *region->core;
        const uint32_t addr = region->base + static_cast<uint32_t>(offset);
        c.quietUntil_ = 0;
        if (!c.bus_.write(addr, size, static_cast<uint32_t>(value))) {
            c.faultAtAccess("write of " + std::to_string(size) + " bytes at " + hex(addr) +
                                ": the bus does not answer",
                            Access::Write, addr);
        } else if (addr - kFlashAcr < 4U) {
            c.refreshFlashTiming();
        }
    }

    // Flash is read-only to Unicorn: a store goes to the flash interface model, which programs it.
    static bool flashWrite(uc_engine*, uc_mem_type, uint64_t address, int size, int64_t value, void* user)
    {
        Core& c = core(user);
        const auto addr = static_cast<uint32_t>(address);
        if (!c.bus_.write(addr, static_cast<unsigned>(size), static_cast<uint32_t>(value))) {
            c.faultAtAccess("write of " + std::to_string(size) + " bytes into flash at " + hex(addr) +
                                ": refused",
                            Access::Write, addr);
        }
        const auto bytes = static_cast<uint32_t>(size);
        if (bytes <= 4U && kFlashBase + kFlashSize - addr >= bytes) {
            FlashBytes kept{addr - kFlashBase, bytes, {}};
            std::copy_n(c.flash_.begin() + kept.offset, bytes, kept.bytes.begin());
            c.flashToRestore_.push_back(kept);
        }
        return true;
    }

    static bool unmapped(uc_engine*, uc_mem_type type, uint64_t address, int size, int64_t, void* user)
    {
        Core& c = core(user);
        const auto addr = static_cast<uint32_t>(address);
        const std::string where = std::to_string(size) + " bytes at " + hex(addr) + ": nothing mapped";
        if (type == UC_MEM_FETCH_UNMAPPED) {
            c.fault("fetch of " + where, addr);
        } else {
            c.faultAtAccess((type == UC_MEM_WRITE_UNMAPPED ? "write of " : "read of ") + where,
                            type == UC_MEM_WRITE_UNMAPPED ? Access::Write : Access::Read, addr);
        }
        return false;
    }

    static void interrupt(uc_engine* uc, uint32_t number, void* user)
    {
        Core& c = core(user);
        const uint32_t pc = c.get(UC_ARM_REG_PC);
        switch (number) {
        case kExcpExceptionExit:
            // Unicorn would run its own exception return here; ours replaces it.
            c.stopWith(Core::Event::ExceptionReturn);
            return;
        case kExcpBreakpoint: {
            uint16_t insn = 0;
            uc_mem_read(uc, pc, &insn, sizeof insn);
            c.fault("bkpt #" + std::to_string(insn & 0xFFU), pc);
            c.event_ = Core::Event::Breakpoint;
            return;
        }
        case kExcpSvc: c.fault("svc (not modelled)", pc); return;
        default: c.fault("CPU exception " + std::to_string(number) + " (not modelled)", pc); return;
        }
    }
};

Core::Core(Bus& bus, InterruptSource& interrupts)
    : bus_(bus), interrupts_(interrupts), flash_(kFlashSize, 0xFF), ram_(kRamSize, 0)
{
    check(uc_open(UC_ARCH_ARM, static_cast<uc_mode>(UC_MODE_THUMB | UC_MODE_MCLASS), &uc_), "uc_open");
    check(uc_ctl_set_cpu_model(uc_, UC_CPU_ARM_CORTEX_M4), "selecting the Cortex-M4");
    check(uc_ctl_exits_enable(uc_), "enabling exits");
    check(uc_mem_map_ptr(uc_, kFlashBase, kFlashSize, UC_PROT_READ | UC_PROT_EXEC, flash_.data()), "mapping flash");
    check(uc_mem_map_ptr(uc_, kRamBase, kRamSize, UC_PROT_ALL, ram_.data()), "mapping RAM");
    regions_ = {Region{this, kSystemMemoryBase}, Region{this, kPeripheralBase}, Region{this, kScsBase}};
    const uint32_t sizes[] = {kSystemMemorySize, kPeripheralSize, kScsSize};
    static_assert(std::size(sizes) == std::tuple_size_v<decltype(regions_)>);
    for (unsigned i = 0; i < std::size(sizes); ++i) {
        check(uc_mmio_map(uc_, regions_[i].base, sizes[i], Hooks::busRead, &regions_[i], Hooks::busWrite,
                          &regions_[i]),
              "mapping the bus");
    }
    uc_hook hook = 0;
    check(uc_hook_add(uc_, &hook, UC_HOOK_BLOCK, reinterpret_cast<void*>(Hooks::block), this, 1, 0), "block hook");
    check(uc_hook_add(uc_, &hook, UC_HOOK_MEM_WRITE_PROT, reinterpret_cast<void*>(Hooks::flashWrite), this, 1, 0),
          "flash write hook");
    check(uc_hook_add(uc_, &hook, UC_HOOK_MEM_UNMAPPED, reinterpret_cast<void*>(Hooks::unmapped), this, 1, 0),
          "unmapped access hook");
    check(uc_hook_add(uc_, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(Hooks::interrupt), this, 1, 0),
          "interrupt hook");
}

Core::~Core() { uc_close(uc_); }

uint32_t Core::get(int ucReg) const
{
    uint32_t value = 0;
    uc_reg_read(uc_, ucReg, &value);
    return value;
}

void Core::set(int ucReg, uint32_t value) { uc_reg_write(uc_, ucReg, &value); }

uint32_t Core::reg(unsigned n) const
{
    switch (n) {
    case 13: return get(UC_ARM_REG_SP);
    case 14: return get(UC_ARM_REG_LR);
    case 15: return get(UC_ARM_REG_PC);
    default: return n < 13 ? get(UC_ARM_REG_R0 + static_cast<int>(n)) : 0U;
    }
}

uint32_t Core::msp() const { return get(UC_ARM_REG_MSP); }
uint32_t Core::psp() const { return get(UC_ARM_REG_PSP); }
// Unicorn also shows the v8-M SFPA bit, which a Cortex-M4 does not have.
uint32_t Core::control() const { return get(UC_ARM_REG_CONTROL) & 0x7U; }

std::string Core::load(const ElfImage& image)
{
    if (image_ != nullptr) {
        return "an image is loaded already: a power cycle is a new Core";
    }
    uint32_t lowestFlash = UINT32_MAX;
    for (const Segment& s : image.segments()) {
        const auto size = static_cast<uint32_t>(s.bytes.size());
        if (inFlash(s.address) && size <= kFlashBase + kFlashSize - s.address) {
            std::copy(s.bytes.begin(), s.bytes.end(), flash_.begin() + (s.address - kFlashBase));
            lowestFlash = std::min(lowestFlash, s.address);
        } else if (inRam(s.address, size)) {
            std::copy(s.bytes.begin(), s.bytes.end(), ram_.begin() + (s.address - kRamBase));
        } else {
            return "segment at " + hex(s.address) + " (" + std::to_string(size) + " bytes) lies outside flash and RAM";
        }
    }
    if (lowestFlash == UINT32_MAX || kFlashBase + kFlashSize - lowestFlash < 8U) {
        return "no vector table: the image puts nothing into flash";
    }
    const uint8_t* table = &flash_[lowestFlash - kFlashBase];
    const uint32_t sp = static_cast<uint32_t>(table[0] | table[1] << 8 | table[2] << 16) | uint32_t{table[3]} << 24;
    const uint32_t reset = static_cast<uint32_t>(table[4] | table[5] << 8 | table[6] << 16) | uint32_t{table[7]} << 24;
    if (!inRam(sp - 8U, 8U) || (sp & 7U) != 0U) {
        return "no vector table at " + hex(lowestFlash) + ": initial stack pointer " + hex(sp) +
               " is not an aligned RAM address";
    }
    if ((reset & 1U) == 0U || !inFlash(reset)) {
        return "no vector table at " + hex(lowestFlash) + ": reset vector " + hex(reset) +
               " is not a Thumb address in flash";
    }
    image_ = &image;
    set(UC_ARM_REG_MSP, sp);
    pc_ = reset & ~1U;
    return {};
}

void Core::refreshFlashTiming()
{
    uint32_t acr = 0;
    flashTiming_.configure(bus_.read(kFlashAcr, 4, &acr) ? acr : 0U);
}

std::vector<std::pair<uint32_t, uint64_t>> Core::cyclesByBlock() const
{
    std::vector<std::pair<uint32_t, uint64_t>> spent;
    spent.reserve(blocks_.size());
    for (const auto& [key, block] : blocks_) {
        spent.emplace_back(block.start, block.cyclesRun);
    }
    return spent;
}

void Core::watch(uint32_t address, std::function<void(uint64_t cycles)> reached)
{
    watches_.push_back({address & ~1U, std::move(reached)});
    for (auto& [key, block] : blocks_) {
        block.watched = block.watched || block.start == (address & ~1U);
    }
}

Stop Core::run(uint64_t cycleBudget)
{
    stopAt_ = cycles_ + cycleBudget;
    quietUntil_ = 0;  // the chip around may have changed between runs
    refreshFlashTiming();
    for (;;) {
        event_ = Event::None;
        const uc_err err = uc_emu_start(uc_, pc_ | 1U, kNeverReached, 0, 0);
        settleDivisions();  // before an exception return changes the registers
        restoreFlash();
        pc_ = get(UC_ARM_REG_PC);
        switch (event_) {
        case Event::Budget: return Stop::BudgetUsed;
        case Event::TakeException:
            if (!enterException(pending_, pc_)) {
                return Stop::Fault;
            }
            continue;
        case Event::ExceptionReturn:
            if (!returnFromException(pc_ | 1U)) {
                return Stop::Fault;
            }
            continue;
        case Event::SplitAtDivisions:
            // Between runs: Unicorn takes new exits and drops a translation only outside uc_emu_start.
            check(uc_ctl_set_exits(uc_, exits_.data(), exits_.size()), "setting exits");
            check(uc_ctl_remove_cache(uc_, toSplit_->start, toSplit_->start + toSplit_->bytes),
                  "dropping a translated block");
            continue;
        case Event::Breakpoint: return Stop::Breakpoint;
        case Event::Fault: return Stop::Fault;
        case Event::None: break;
        }
        if (err == UC_ERR_OK && reachedSplit(pc_)) {
            continue;
        }
        if (err != UC_ERR_OK) {
            fault(err == UC_ERR_INSN_INVALID ? std::string("undefined instruction")
                                             : std::string("Unicorn stopped: ") + uc_strerror(err),
                  pc_);
            return Stop::Fault;
        }
        // Unicorn returns after a WFI: sleep until something is pending.
        uint64_t quietUntil = 0;
        if (!interrupts_.highestPending(&quietUntil)) {
            cycles_ = std::max(cycles_, stopAt_);
            return Stop::BudgetUsed;
        }
    }
}

void Core::restoreFlash()
{
    for (const FlashBytes& kept : flashToRestore_) {
        std::copy_n(kept.bytes.begin(), kept.size, flash_.begin() + kept.offset);
    }
    flashToRestore_.clear();
}

void Core::stopWith(Event event)
{
    event_ = event;
    uc_emu_stop(uc_);
}

BlockInfo& Core::blockAt(uint32_t address, uint32_t size)
{
    BlockInfo*& cached = blockCache_[(address >> 1) % kBlockCacheSize];
    if (cached != nullptr && cached->start == address && cached->bytes == size) {
        return *cached;
    }
    const uint64_t key = uint64_t{size} << 32U | address;
    auto it = blocks_.find(key);
    if (it == blocks_.end()) {
        std::vector<uint8_t> code(size);
        uc_mem_read(uc_, address, code.data(), size);
        it = blocks_.emplace(key, decoder_.decode(address, code)).first;
        it->second.watched = std::any_of(watches_.begin(), watches_.end(),
                                         [address](const Watch& w) { return w.address == address; });
    }
    cached = &it->second;
    return *cached;
}

// At the start of each block: the refill if the previous one branched away, the budget, pending
// exceptions, then the block's own cost.
void Core::onBlock(uint32_t address, uint32_t size)
{
    settleDivisions();
    if (!flashToRestore_.empty()) {
        restoreFlash();
    }
    const bool sequential = address == nextSequential_;
    if (!sequential && nextSequential_ != kNoBlock) {
        cycles_ += kBranchRefill;
        refillToCharge_ = kBranchRefill;
    }
    nextSequential_ = address;  // a restart here does not pay the refill again
    if (cycles_ >= stopAt_) {
        stopWith(Event::Budget);
        return;
    }
    if (cycles_ >= quietUntil_) {
        if (auto exception = takeable()) {
            pending_ = *exception;
            stopWith(Event::TakeException);
            return;
        }
    }
    if (address == hold_) {
        // Spinning until something can become pending (or the budget ends), then asked again.
        cycles_ = std::max(cycles_, quietUntil_ > cycles_ ? std::min(stopAt_, quietUntil_) : stopAt_);
        stopWith(Event::Budget);
        return;
    }
    BlockInfo& block = blockAt(address, size);
    if (std::any_of(block.divisions.begin(), block.divisions.end(), [address](const Division& d) {
            return !d.quotientKept && d.address != address;
        })) {
        splitAtDivisions(block);
        return;
    }
    if (block.watched) {
        for (const Watch& w : watches_) {
            if (w.address == address) {
                w.reached(cycles_);
            }
        }
    }
    if (block.usesFp && lazyFpFrame_ >= 0) {
        storeLazyFpState();
    }
    uint64_t cost = block.cycles + flashTiming_.stallCycles(block, sequential);
    for (const Division& d : block.divisions) {
        if (d.quotientKept) {
            divisionsToSettle_.push_back(&d);
        } else {
            cost += divisionCost(d);  // split: the block starts with it
        }
    }
    cycles_ += cost;
    block.cyclesRun += cost + refillToCharge_;
    refillToCharge_ = 0;
    instructions_ += block.addresses.size();
    history_[historyNext_] = &block;
    historyNext_ = (historyNext_ + 1U) % kHistory;
    current_ = &block;
    nextSequential_ = address + size;
}

// The divisions of the block just run, by the quotients they left.
void Core::settleDivisions()
{
    for (const Division* d : divisionsToSettle_) {
        uint32_t quotient = reg(static_cast<unsigned>(d->quotient));
        if (d->isSigned && static_cast<int32_t>(quotient) < 0) {
            quotient = 0U - quotient;
        }
        const uint32_t cost = divisionCycles(quotient);
        cycles_ += cost;
        current_->cyclesRun += cost;
    }
    divisionsToSettle_.clear();
}

// A division whose quotient the rest of its block overwrites, and that does not start the block, gets
// an exit: translated again, the block ends before it.
void Core::splitAtDivisions(const BlockInfo& block)
{
    for (const Division& d : block.divisions) {
        if (!d.quotientKept && d.address != block.start &&
            std::find(exits_.begin(), exits_.end(), d.address) == exits_.end()) {
            exits_.push_back(d.address);
        }
    }
    toSplit_ = &block;
    stopWith(Event::SplitAtDivisions);  // before the block runs: restarted here, it pays nothing twice
}

// Run to a division's exit: the block before it is translated split. Without the exit the run goes on
// into a block that starts with the division, whose operands are then in the registers.
bool Core::reachedSplit(uint32_t address)
{
    const auto it = std::find(exits_.begin(), exits_.end(), address);
    if (it == exits_.end()) {
        return false;
    }
    exits_.erase(it);
    check(uc_ctl_set_exits(uc_, exits_.data(), exits_.size()), "setting exits");
    return true;
}

uint32_t Core::divisionCost(const Division& division) const
{
    const uint32_t n = reg(static_cast<unsigned>(division.dividend));
    const uint32_t m = reg(static_cast<unsigned>(division.divisor));
    auto magnitude = [&division](uint32_t v) {
        return division.isSigned && static_cast<int32_t>(v) < 0 ? 0U - v : v;
    };
    return divisionCycles(m == 0U ? 0U : magnitude(n) / magnitude(m));
}

}  // namespace emu
