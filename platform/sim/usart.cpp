// USART2: transmit data register and shift register with TXE and TC, receive data register with RXNE and
// overrun, the status-flag clearing sequences of the chip, character time from BRR and the APB1 clock,
// and the interrupt line. Bytes that leave the shift register are captured for tests.
#include <deque>
#include <string>

#include "platform/sim/internal.hpp"

namespace sim {

namespace {

class Usart2Model final : public Peripheral, public Timed {
public:
    Usart2Model() : Peripheral("USART2", &registers.usart2, sizeof(USART_TypeDef), apb1Clock(RCC_APB1Periph_USART2))
    {
        registerTimed(this);
    }

    uint32_t read(uint32_t offset, unsigned width) override
    {
        if (offset == offsetof(USART_TypeDef, SR)) {
            srRead_ = true;
            return regs().SR.peek();
        }
        if (offset == offsetof(USART_TypeDef, DR)) {
            uint32_t sr = regs().SR.peek() & ~USART_SR_RXNE;
            if (srRead_) {  // SR then DR clears the error flags
                sr &= ~(USART_SR_ORE | USART_SR_NE | USART_SR_FE | USART_SR_PE | USART_SR_IDLE);
            }
            srRead_ = false;
            regs().SR.poke(sr);
            refreshIrq();
            return rdr_;
        }
        return stored(offset, width);
    }

    void write(uint32_t offset, uint32_t value, unsigned width) override
    {
        USART_TypeDef& u = regs();
        if (offset == offsetof(USART_TypeDef, SR)) {
            // RXNE, TC, LBD and CTS clear when written 0; the other flags are read-only.
            const uint32_t clearable = USART_SR_RXNE | USART_SR_TC | USART_SR_LBD | USART_SR_CTS;
            u.SR.poke(u.SR.peek() & ~(clearable & ~value));
        } else if (offset == offsetof(USART_TypeDef, DR)) {
            writeData(value);
        } else if (offset == offsetof(USART_TypeDef, CR1)) {
            u.CR1.poke(value & 0xBFFFU);
            startShift();
        } else {
            store(offset, value, width);
        }
        refreshIrq();
    }

    void reset() override
    {
        clearBlock();
        regs().SR.poke(USART_SR_TXE | USART_SR_TC);
        tdrFull_ = false;
        shifting_ = false;
        shiftEndNs_ = UINT64_MAX;
        rdr_ = 0;
        srRead_ = false;
        incoming_.clear();
        setIrqLevel(USART2_IRQn, false);
    }

    uint64_t nextEventNs() const override
    {
        uint64_t next = shifting_ ? shiftEndNs_ : UINT64_MAX;
        if (!incoming_.empty() && incoming_.front().atNs < next) {
            next = incoming_.front().atNs;
        }
        return next;
    }

    void runEvents(uint64_t now) override
    {
        if (shifting_ && shiftEndNs_ <= now) {
            shifting_ = false;
            sent_.push_back(static_cast<char>(shiftByte_ & 0xFFU));
            if (!startShift()) {
                regs().SR.poke(regs().SR.peek() | USART_SR_TC);
            }
        }
        while (!incoming_.empty() && incoming_.front().atNs <= now) {
            receiveByte(incoming_.front().byte);
            incoming_.pop_front();
        }
        refreshIrq();
    }

    uint64_t charTimeNs() const
    {
        const USART_TypeDef& u = regs();
        const uint32_t brr = u.BRR.peek() & 0xFFFFU;
        const uint64_t pclk = clocks().pclk1;
        // Clocks per bit: BRR itself with 16x oversampling; with 8x the fraction has three bits.
        const uint64_t divisor = (u.CR1.peek() & USART_CR1_OVER8) != 0U ? ((brr >> 4) * 8U + (brr & 7U)) : brr;
        if (divisor == 0U || pclk == 0U) {
            return 0;
        }
        static constexpr uint64_t kStopHalfBits[4] = {2, 1, 4, 3};  // 1, 0.5, 2, 1.5 stop bits
        const uint64_t dataBits = (u.CR1.peek() & USART_CR1_M) != 0U ? 9U : 8U;
        const uint64_t halfBits = 2U * (1U + dataBits) + kStopHalfBits[(u.CR2.peek() & USART_CR2_STOP) >> USART_CR2_STOP_Pos];
        return (halfBits * divisor * 1000000000ULL + pclk) / (2U * pclk);
    }

    void inject(const std::string& bytes)
    {
        const uint64_t step = charTimeNs();
        uint64_t at = incoming_.empty() ? nowNs() : incoming_.back().atNs;
        for (char c : bytes) {
            at += step;
            incoming_.push_back(Incoming{static_cast<uint8_t>(c), at});
        }
    }

    const std::string& sent() const { return sent_; }
    void clearSent() { sent_.clear(); }

private:
    USART_TypeDef& regs() const { return registers.usart2; }
    bool enabled() const { return (regs().CR1.peek() & USART_CR1_UE) != 0U; }

    void writeData(uint32_t value)
    {
        if (!enabled()) {
            return;
        }
        uint32_t sr = regs().SR.peek() & ~USART_SR_TXE;
        if (srRead_) {  // SR then DR clears TC
            sr &= ~USART_SR_TC;
        }
        srRead_ = false;
        regs().SR.poke(sr);
        tdr_ = value & USART_DR_DR;  // a write while TXE is clear overwrites the waiting byte
        tdrFull_ = true;
        startShift();
    }

    // Moves the waiting byte into the idle shift register; false if nothing moved.
    bool startShift()
    {
        const USART_TypeDef& u = regs();
        if (shifting_ || !tdrFull_ || !enabled() || (u.CR1.peek() & USART_CR1_TE) == 0U) {
            return false;
        }
        const uint64_t t = charTimeNs();
        if (t == 0U) {
            return false;  // no baud rate: the byte waits
        }
        tdrFull_ = false;
        shifting_ = true;
        shiftByte_ = tdr_;
        shiftEndNs_ = nowNs() + t;
        regs().SR.poke(regs().SR.peek() | USART_SR_TXE);
        return true;
    }

    void receiveByte(uint8_t byte)
    {
        if (!enabled() || (regs().CR1.peek() & USART_CR1_RE) == 0U || !clocked()) {
            return;
        }
        const uint32_t sr = regs().SR.peek();
        if ((sr & USART_SR_RXNE) != 0U) {
            regs().SR.poke(sr | USART_SR_ORE);  // the new byte is lost
            return;
        }
        rdr_ = byte;
        regs().SR.poke(sr | USART_SR_RXNE);
    }

    void refreshIrq()
    {
        const uint32_t cr1 = regs().CR1.peek();
        const uint32_t sr = regs().SR.peek();
        const bool level = ((cr1 & USART_CR1_TXEIE) != 0U && (sr & USART_SR_TXE) != 0U) ||
                           ((cr1 & USART_CR1_TCIE) != 0U && (sr & USART_SR_TC) != 0U) ||
                           ((cr1 & USART_CR1_RXNEIE) != 0U && (sr & (USART_SR_RXNE | USART_SR_ORE)) != 0U) ||
                           ((cr1 & USART_CR1_IDLEIE) != 0U && (sr & USART_SR_IDLE) != 0U) ||
                           ((cr1 & USART_CR1_PEIE) != 0U && (sr & USART_SR_PE) != 0U);
        setIrqLevel(USART2_IRQn, level);
    }

    struct Incoming {
        uint8_t byte;
        uint64_t atNs;
    };

    uint32_t tdr_ = 0;
    bool tdrFull_ = false;
    bool shifting_ = false;
    uint32_t shiftByte_ = 0;
    uint64_t shiftEndNs_ = UINT64_MAX;
    uint32_t rdr_ = 0;
    bool srRead_ = false;
    std::deque<Incoming> incoming_;
    std::string sent_;
};

Usart2Model& usart()
{
    static Usart2Model model;
    return model;
}

}  // namespace

Peripheral& usart2Model() { return usart(); }

const std::string& usart2Sent()
{
    ensureModels();
    return usart().sent();
}

void usart2ClearSent() { usart().clearSent(); }

void usart2Receive(const std::string& bytes)
{
    ensureModels();
    usart().inject(bytes);
}

uint64_t usart2CharTimeNs() { return usart().charTimeNs(); }

}  // namespace sim
