// Models of the reset and clock controller (oscillator and PLL ready flags follow their enables, the
// system clock switch follows its request, peripheral resets and clock gating) and of the GPIO ports
// (output latch through ODR and BSRR, input levels set from outside, edge counts for tests).
#include <bit>
#include <optional>

#include "platform/sim/internal.hpp"

namespace sim {

namespace {

// The reset flags of the reset requested since the last power cycle (none: the next one is a power-on).
uint32_t g_pendingResetFlags = 0;

class RccModel final : public Peripheral {
public:
    RccModel() : Peripheral("RCC", &registers.rcc, sizeof(RCC_TypeDef)) {}

    uint32_t read(uint32_t offset, unsigned width) override
    {
        if (offset == offsetof(RCC_TypeDef, CSR)) {
            // The LSI is ready as soon as it is on, and the running watchdog keeps it on.
            const uint32_t csr = stored(offset, 4) & ~RCC_CSR_LSIRDY;
            const bool lsi = (csr & RCC_CSR_LSION) != 0U || iwdgRunning();
            return csr | (lsi ? RCC_CSR_LSIRDY : 0U);
        }
        return stored(offset, width);
    }

    void write(uint32_t offset, uint32_t value, unsigned width) override
    {
        RCC_TypeDef& r = registers.rcc;
        const uint32_t old = stored(offset, 4);
        if (offset == offsetof(RCC_TypeDef, CSR)) {
            const uint32_t flags = (value & RCC_CSR_RMVF) != 0U ? 0U : old & RCC_CSR_RESET_FLAGS;
            store(offset, flags | (value & RCC_CSR_LSION), 4);
            return;
        }
        if (offset == offsetof(RCC_TypeDef, CR)) {
            // Oscillators and PLL are ready as soon as they are on (start-up time is not modelled).
            uint32_t v = value & ~(RCC_CR_HSIRDY | RCC_CR_HSERDY | RCC_CR_PLLRDY | RCC_CR_PLLI2SRDY);
            if ((r.CFGR.peek() & RCC_CFGR_SWS) == RCC_CFGR_SWS_PLL) {
                v |= old & RCC_CR_PLLON;  // the PLL cannot be stopped while it clocks the core
            }
            v |= (v & RCC_CR_HSION) != 0U ? RCC_CR_HSIRDY : 0U;
            v |= (v & RCC_CR_HSEON) != 0U ? RCC_CR_HSERDY : 0U;
            v |= (v & RCC_CR_PLLON) != 0U ? RCC_CR_PLLRDY : 0U;
            v |= (v & RCC_CR_PLLI2SON) != 0U ? RCC_CR_PLLI2SRDY : 0U;
            store(offset, v, 4);
            return;
        }
        if (offset == offsetof(RCC_TypeDef, CFGR)) {
            // The switch reports the requested source once that source is ready.
            const uint32_t sw = value & RCC_CFGR_SW;
            const uint32_t cr = r.CR.peek();
            const bool ready = (sw == RCC_CFGR_SW_HSI && (cr & RCC_CR_HSIRDY) != 0U) ||
                               (sw == RCC_CFGR_SW_HSE && (cr & RCC_CR_HSERDY) != 0U) ||
                               (sw == RCC_CFGR_SW_PLL && (cr & RCC_CR_PLLRDY) != 0U);
            const uint32_t sws = ready ? (sw << RCC_CFGR_SWS_Pos) : (old & RCC_CFGR_SWS);
            store(offset, (value & ~RCC_CFGR_SWS) | sws, 4);
            return;
        }
        store(offset, value, width);
        const uint32_t raised = value & ~old;
        if (offset == offsetof(RCC_TypeDef, AHB1RSTR)) {
            for (unsigned i = 0; i < 6; ++i) {
                if ((raised & gpioBit(i)) != 0U) {
                    gpioModel(i).reset();
                }
            }
        } else if (offset == offsetof(RCC_TypeDef, APB1RSTR)) {
            if ((raised & RCC_APB1Periph_USART2) != 0U) {
                usart2Model().reset();
            }
            const uint32_t canBits[3] = {RCC_APB1Periph_CAN1, RCC_APB1Periph_CAN2, RCC_APB1Periph_CAN3};
            for (unsigned i = 0; i < 3; ++i) {
                if ((raised & canBits[i]) != 0U) {
                    canModel(i).reset();
                }
            }
            const uint32_t timBits[2] = {RCC_APB1Periph_TIM2, RCC_APB1Periph_TIM5};
            for (unsigned i = 0; i < 2; ++i) {
                if ((raised & timBits[i]) != 0U) {
                    timModel(i).reset();
                }
            }
        }
        if (offset == offsetof(RCC_TypeDef, AHB1ENR) || offset == offsetof(RCC_TypeDef, APB1ENR) ||
            offset == offsetof(RCC_TypeDef, AHB1RSTR) || offset == offsetof(RCC_TypeDef, APB1RSTR)) {
            refreshPwmOutputs(nowNs());  // clocks and resets of the timers and their pins
        }
    }

    void reset() override
    {
        RCC_TypeDef& r = registers.rcc;
        const uint32_t kept = r.CSR.peek() & RCC_CSR_RESET_FLAGS;
        clearBlock();
        r.CR.poke(0x00000083U);  // HSI on and ready, trim 16
        r.PLLCFGR.poke(RCC_PLLCFGR_RESET);
        r.AHB1ENR.poke(0x00100000U);
        r.CSR.poke(g_pendingResetFlags == 0U ? RCC_CSR_POWER_ON : kept | g_pendingResetFlags | RCC_CSR_PINRSTF);
        g_pendingResetFlags = 0;
    }

    static uint32_t gpioBit(unsigned index)
    {
        static constexpr uint32_t kBits[6] = {RCC_AHB1Periph_GPIOA, RCC_AHB1Periph_GPIOB, RCC_AHB1Periph_GPIOC,
                                              RCC_AHB1Periph_GPIOD, RCC_AHB1Periph_GPIOE, RCC_AHB1Periph_GPIOH};
        return kBits[index];
    }
};

// The power controller: the voltage scaling the firmware selects is ready once the PLL runs.
class PwrModel final : public Peripheral {
public:
    PwrModel() : Peripheral("PWR", &registers.pwr, sizeof(PWR_TypeDef), apb1Clock(RCC_APB1Periph_PWR)) {}

    uint32_t read(uint32_t offset, unsigned width) override
    {
        if (offset == offsetof(PWR_TypeDef, CSR)) {
            const bool pllReady = (registers.rcc.CR.peek() & RCC_CR_PLLRDY) != 0U;
            return (stored(offset, 4) & ~PWR_CSR_VOSRDY) | (pllReady ? PWR_CSR_VOSRDY : 0U);
        }
        return stored(offset, width);
    }

    void write(uint32_t offset, uint32_t value, unsigned width) override
    {
        if (offset == offsetof(PWR_TypeDef, CSR)) {
            value = (value & ~PWR_CSR_VOSRDY) | (stored(offset, 4) & PWR_CSR_VOSRDY);  // read-only
        }
        store(offset, value, width);
    }

    void reset() override { clearBlock(); }
};

GpioObserver gpioObserver;

class GpioModel final : public Peripheral {
public:
    GpioModel(const char* name, unsigned index, uint32_t enableBit)
        : Peripheral(name, &registers.gpio[index], sizeof(GPIO_TypeDef), ahb1Clock(enableBit)), index_(index)
    {
    }

    uint32_t read(uint32_t offset, unsigned width) override
    {
        if (offset == offsetof(GPIO_TypeDef, IDR)) {
            return inputLevels();
        }
        if (offset == offsetof(GPIO_TypeDef, BSRR)) {
            return 0;  // write-only
        }
        return stored(offset, width);
    }

    void write(uint32_t offset, uint32_t value, unsigned width) override
    {
        if (offset == offsetof(GPIO_TypeDef, ODR)) {
            setOutputs(value & 0xFFFFU);
        } else if (offset == offsetof(GPIO_TypeDef, BSRR)) {
            // Set wins over reset for a pin named in both halves.
            const uint32_t odr = regs().ODR.peek();
            setOutputs(((odr & ~(value >> 16)) | value) & 0xFFFFU);
        } else if (offset == offsetof(GPIO_TypeDef, IDR)) {
            // read-only
        } else {
            store(offset, value, width);
            if (offset == offsetof(GPIO_TypeDef, MODER) || offset == offsetof(GPIO_TypeDef, AFR) ||
                offset == offsetof(GPIO_TypeDef, AFR) + 4U) {
                refreshPwmOutputs(nowNs());  // the timer pins follow their alternate function
            }
        }
    }

    void reset() override
    {
        clearBlock();
        for (unsigned pin = 0; pin < GPIO_PINS; ++pin) {
            changes_[pin] = 0;
            lastChangeNs_[pin] = 0;
            external_[pin] = -1;
        }
        if (index_ == 0) {  // GPIOA: debug pins PA13..PA15 in alternate mode
            regs().MODER.poke(0xA8000000U);
            regs().PUPDR.poke(0x64000000U);
        } else if (index_ == 1) {  // GPIOB: PB3, PB4 debug
            regs().MODER.poke(0x00000280U);
            regs().OSPEEDR.poke(0x000000C0U);
            regs().PUPDR.poke(0x00000100U);
        }
    }

    GPIO_TypeDef& regs() { return registers.gpio[index_]; }
    const GPIO_TypeDef& regs() const { return registers.gpio[index_]; }
    uint32_t changes(unsigned pin) const { return changes_[pin]; }
    uint64_t lastChangeNs(unsigned pin) const { return lastChangeNs_[pin]; }
    void setExternal(unsigned pin, bool level) { external_[pin] = level ? 1 : 0; }

private:
    // The node rewrites its LEDs on every pass, nearly always with the levels they have: only the pins
    // that change cost anything.
    void setOutputs(uint32_t next)
    {
        const uint32_t changed = regs().ODR.peek() ^ next;
        if (changed != 0U) {
            changeOutputs(changed, next);
        }
    }

    [[gnu::noinline]] void changeOutputs(uint32_t changed, uint32_t next)
    {
        for (uint32_t rest = changed; rest != 0U; rest &= rest - 1U) {
            const auto pin = static_cast<unsigned>(std::countr_zero(rest));
            ++changes_[pin];
            lastChangeNs_[pin] = nowNs();
        }
        regs().ODR.poke(next);
        for (uint32_t rest = changed; rest != 0U && gpioObserver != nullptr; rest &= rest - 1U) {
            const auto pin = static_cast<unsigned>(std::countr_zero(rest));
            gpioObserver(&regs(), pin, (next & (1U << pin)) != 0U, nowNs());
        }
    }

    // Output pins read back their latch; other pins read the level set from outside, else their pull.
    uint32_t inputLevels() const
    {
        const uint32_t moder = regs().MODER.peek();
        const uint32_t pupdr = regs().PUPDR.peek();
        const uint32_t odr = regs().ODR.peek();
        uint32_t idr = 0;
        for (unsigned pin = 0; pin < GPIO_PINS; ++pin) {
            const uint32_t mode = (moder >> (2U * pin)) & 3U;
            bool level = false;
            if (mode == GPIO_MODER_OUTPUT) {
                level = (odr & (1U << pin)) != 0U;
            } else if (external_[pin] >= 0) {
                level = external_[pin] == 1;
            } else {
                level = ((pupdr >> (2U * pin)) & 3U) == 1U;
            }
            idr |= level ? (1U << pin) : 0U;
        }
        return idr;
    }

    unsigned index_;
    uint32_t changes_[GPIO_PINS] = {};
    uint64_t lastChangeNs_[GPIO_PINS] = {};
    int external_[GPIO_PINS] = {};
};

GpioModel& gpio(unsigned index)
{
    static GpioModel models[6] = {
        {"GPIOA", 0, RCC_AHB1Periph_GPIOA}, {"GPIOB", 1, RCC_AHB1Periph_GPIOB}, {"GPIOC", 2, RCC_AHB1Periph_GPIOC},
        {"GPIOD", 3, RCC_AHB1Periph_GPIOD}, {"GPIOE", 4, RCC_AHB1Periph_GPIOE}, {"GPIOH", 5, RCC_AHB1Periph_GPIOH},
    };
    return models[index];
}

GpioModel& gpioOf(const GPIO_TypeDef* port)
{
    for (unsigned i = 0; i < 6; ++i) {
        if (port == &registers.gpio[i]) {
            return gpio(i);
        }
    }
    simFatal("not a GPIO port of the simulated chip");
}

}  // namespace

void requestChipReset(uint32_t csrFlag)
{
    g_pendingResetFlags |= csrFlag;
    setSystemResetRequested();
}

Peripheral& rccModel()
{
    static RccModel model;
    return model;
}

Peripheral& gpioModel(unsigned index) { return gpio(index); }

Peripheral& pwrModel()
{
    static PwrModel model;
    return model;
}

// Asked at every register access of the emulated core: computed again only when the registers changed.
Clocks clocks()
{
    static uint32_t cfgr = 0, pllcfgr = 0;
    static std::optional<Clocks> known;
    if (!known || registers.rcc.CFGR.peek() != cfgr || registers.rcc.PLLCFGR.peek() != pllcfgr) {
        cfgr = registers.rcc.CFGR.peek();
        pllcfgr = registers.rcc.PLLCFGR.peek();
        const RCC_ClocksTypeDef c = rccClocksFromRegisters(cfgr, pllcfgr);
        known = Clocks{c.SYSCLK_Frequency, c.HCLK_Frequency, c.PCLK1_Frequency, c.PCLK2_Frequency};
    }
    return *known;
}

namespace {

// The prescaler field that divides `from` down to `to`, from the table of the dividers the bus has.
uint32_t dividerCode(uint32_t from, uint32_t to, uint32_t first_code, const uint32_t* dividers, unsigned count)
{
    if (to == from) {
        return 0;
    }
    for (unsigned i = 0; i < count; ++i) {
        if (to != 0U && from == to * dividers[i]) {
            return first_code + i;
        }
    }
    simFatal("no bus prescaler divides %u Hz to %u Hz", from, to);
}

}  // namespace

void setClocks(const Clocks& c)
{
    // As a start-up would set it: the PLL from the crystal at 1 MHz into the VCO, the P divider that keeps
    // the VCO within 100..432 MHz, and the bus prescalers.
    constexpr uint32_t kVcoInHz = 1000000U;
    constexpr uint32_t kPllM = HSE_VALUE / kVcoInHz;
    uint32_t pllcfgr = 0;
    for (uint32_t pField = 0; pField < 4U && pllcfgr == 0U; ++pField) {
        const uint64_t vco = static_cast<uint64_t>(c.sysclk) * (uint64_t{pField} + 1U) * 2U;
        if (vco % kVcoInHz == 0U && vco >= 100000000U && vco <= 432000000U) {
            pllcfgr = (kPllM << RCC_PLLCFGR_PLLM_Pos) | (static_cast<uint32_t>(vco / kVcoInHz) << RCC_PLLCFGR_PLLN_Pos) |
                      (pField << RCC_PLLCFGR_PLLP_Pos) | RCC_PLLCFGR_PLLSRC | (4U << RCC_PLLCFGR_PLLQ_Pos);
        }
    }
    if (pllcfgr == 0U) {
        simFatal("the PLL cannot make a %u Hz system clock from the 8 MHz crystal", c.sysclk);
    }
    static constexpr uint32_t kAhbDividers[] = {2, 4, 8, 16, 64, 128, 256, 512};
    static constexpr uint32_t kApbDividers[] = {2, 4, 8, 16};
    const uint32_t cfgr = (dividerCode(c.sysclk, c.hclk, 8, kAhbDividers, 8) << RCC_CFGR_HPRE_Pos) |
                          (dividerCode(c.hclk, c.pclk1, 4, kApbDividers, 4) << RCC_CFGR_PPRE1_Pos) |
                          (dividerCode(c.hclk, c.pclk2, 4, kApbDividers, 4) << RCC_CFGR_PPRE2_Pos) |
                          RCC_CFGR_SW_PLL | RCC_CFGR_SWS_PLL;
    RCC_TypeDef& r = registers.rcc;
    r.CR.poke(r.CR.peek() | RCC_CR_HSEON | RCC_CR_HSERDY | RCC_CR_PLLON | RCC_CR_PLLRDY);
    r.PLLCFGR.poke(pllcfgr);
    r.CFGR.poke(cfgr);
    refreshPwmOutputs(nowNs());
}

void setPclk1(uint32_t hz) { setClocks({2U * hz, 2U * hz, hz, 2U * hz}); }


bool gpioOutput(const GPIO_TypeDef* port, unsigned pin) { return (port->ODR.peek() & (1U << pin)) != 0U; }

uint32_t gpioMode(const GPIO_TypeDef* port, unsigned pin) { return (port->MODER.peek() >> (2U * pin)) & 3U; }

uint32_t gpioAlternate(const GPIO_TypeDef* port, unsigned pin)
{
    return (port->AFR[pin >> 3].peek() >> (4U * (pin & 7U))) & 0xFU;
}

void gpioSetInput(GPIO_TypeDef* port, unsigned pin, bool level) { gpioOf(port).setExternal(pin, level); }

uint32_t gpioChanges(const GPIO_TypeDef* port, unsigned pin) { return gpioOf(port).changes(pin); }

uint64_t gpioLastChangeNs(const GPIO_TypeDef* port, unsigned pin) { return gpioOf(port).lastChangeNs(pin); }

void setGpioObserver(GpioObserver observer) { gpioObserver = observer; }

}  // namespace sim
