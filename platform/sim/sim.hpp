#pragma once
// The simulated chip seen from outside: what tests and the SITL program use to run time, attach bus
// participants, inject faults and observe outputs. Firmware never includes this (it includes chip.hpp).
//
// Execution model
// - Time is virtual, in nanoseconds (microseconds at the API). It moves only in advanceNs/advanceUs, in
//   coreRelax (1 us per call, as a spinning core lets time pass) and in coreDelayUs.
// - Firmware code between two safe points is instantaneous. Safe points are: inside advanceNs/advanceUs
//   (after every model event), serviceInterrupts(), coreRelax() and coreDelayUs(). Only there are
//   interrupt handlers called, always on the calling thread, never nested.
// - Models react to register accesses at once (INAK follows INRQ, RFOM releases a mailbox, ...); anything
//   that takes time on the chip (a frame on the bus, a character on the line, a SysTick period) completes
//   as virtual time passes.
// - reset() puts every model back to its power-on state and the clock to 0; tests call it in SetUp().

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "chip.hpp"
#include "platform/interface/startup.hpp"

namespace sim {

// ---------------------------------------------------------------------------------------------------------
// Power and time
void reset();
// The chip alone loses power and comes back at the current virtual time: every model as after reset()
// (the reset request too), flash keeping its content; time and the buses, with their participants and
// logs, go on.
void powerCycle();

uint64_t nowNs();
uint64_t nowUs();
// When the earliest scheduled model event is due (UINT64_MAX if none): until then, nothing changes by itself.
uint64_t nextEventNs();
void advanceNs(uint64_t ns);
void advanceUs(uint64_t us);
// Time moves on by `ns` without asking any model: only for a caller that has asked nextEventNs() since
// the models last changed and stays before that time (the emulated core, between two bus accesses).
void advanceQuietNs(uint64_t ns);
// A safe point at the current time: dispatches whatever interrupts are pending.
void serviceInterrupts();
// What coreRelax() does in the simulator: service interrupts, then let 1 us pass.
void relax();
// What coreDelayUs() does: let us microseconds pass, servicing interrupts as they come due.
void relaxUs(uint64_t us);
// A busy-wait that spins this many microseconds (coreRelax() calls, coreDelayUs() time) without
// advanceNs/advanceUs from outside is taken as a hang (the awaited condition can never come true) and
// stops the test with a message.
void setRelaxLimit(uint64_t us);

// ---------------------------------------------------------------------------------------------------------
// Clocks and identity
struct Clocks {
    uint32_t sysclk;
    uint32_t hclk;
    uint32_t pclk1;
    uint32_t pclk2;
};
// The node's clock tree (96 MHz from the crystal, APB1 at half), as its start-up sets it. After reset the
// chip runs from the 16 MHz internal oscillator, as a real one does.
inline constexpr Clocks kNodeClocks{96000000U, 96000000U, 48000000U, 96000000U};
// The clocks the RCC registers select: what RCC_GetClocksFreq reports and what the models run from (CAN
// bit rate, USART baud, SysTick, timers).
Clocks clocks();
// Programs the RCC registers for these clocks (the PLL from the 8 MHz crystal, the bus prescalers), as a
// start-up would; a tree the chip cannot make stops the test.
void setClocks(const Clocks& clocks);
// APB1 at hz, behind a core clock of twice that.
void setPclk1(uint32_t hz);

void setUniqueId(uint32_t word0, uint32_t word1, uint32_t word2);

// ---------------------------------------------------------------------------------------------------------
// Interrupt controller
void setInterruptsMasked(bool masked);  // PRIMASK
bool irqEnabled(IRQn_Type irq);
bool irqPending(IRQn_Type irq);  // latched or raised by its peripheral
uint64_t irqDispatchCount(IRQn_Type irq);  // handler entries since reset (SysTick_IRQn included)
bool systemResetRequested();  // AIRCR.SYSRESETREQ written
// The handlers dispatch calls, by exception (what the chip's vector table says); kept across reset().
// A pending, enabled line without a handler stops the run, as it would leave the chip spinning.
void setInterruptHandlers(const InterruptVector* vectors, std::size_t count);
template <std::size_t N>
void setInterruptHandlers(const InterruptVector (&vectors)[N])
{
    setInterruptHandlers(vectors, N);
}
// For a core that takes exceptions itself (the emulated image) rather than the host calling handlers.
// The most urgent enabled, pending request (lowest priority value, then lowest number) with its priority
// byte as the core compares it (upper four bits significant); false if none. Masking by PRIMASK, BASEPRI
// and the active exceptions is the core's.
struct ExceptionRequest {
    int irq;           // IRQn_Type numbering: SysTick -1, device lines from 0
    uint8_t priority;  // 0x00 most urgent .. 0xF0
};
bool pendingException(ExceptionRequest* out);
// The core entered the request's handler: a latched request clears (a raised line stays raised until its
// source clears it), and it counts as dispatched.
void acknowledgeException(int irq);
// From now on serviceInterrupts() calls no handler; pending requests wait for the core. Kept across reset().
void setCoreTakesExceptions(bool core);

// ---------------------------------------------------------------------------------------------------------
// The register bus by chip address, for a core that executes the image itself: the same blocks and models
// the host-compiled firmware reaches through chip.hpp (peripherals, the system control space, the unique
// ID, writes into the data sectors). False where no block answers (an access no chip would accept, such as
// a misaligned word).
bool busRead(uint32_t address, unsigned width, uint32_t* value);
bool busWrite(uint32_t address, unsigned width, uint32_t value);
// Says where the code is that makes an access (for the emulated core: its PC and function), added to
// the warning about an access to a peripheral whose clock is off. Empty: nothing added.
void setAccessLocator(std::function<std::string()> locator);

// ---------------------------------------------------------------------------------------------------------
// CAN
struct CanFrame {
    uint32_t id = 0;  // 11 or 29 bits
    bool extended = false;
    bool remote = false;
    uint8_t dlc = 0;  // as sent, 0..15; a classic frame carries min(dlc, 8) data bytes
    uint8_t data[8] = {};

    uint8_t dataBytes() const { return dlc > 8U ? 8U : dlc; }
    bool operator==(const CanFrame& other) const;

    static CanFrame standard(uint32_t id, std::initializer_list<uint8_t> bytes = {});
    static CanFrame extendedFrame(uint32_t id, std::initializer_list<uint8_t> bytes = {});
    static CanFrame remoteFrame(uint32_t id, bool extended, uint8_t dlc = 0);
};

// Bits a frame occupies on the wire, from start of frame to the end of the 3-bit intermission: the exact
// count, stuff bits included (the CRC is computed and the stuffed region SOF..CRC is walked).
unsigned canFrameBits(const CanFrame& frame);
// The arbitration field as the bus compares it (smaller wins): 11 base bits, then SRR/RTR, IDE, 18
// extension bits, RTR.
uint64_t canArbitrationKey(const CanFrame& frame);

// Something other than the node's controller on a virtual bus: a test peer, later a log replay or a bridge.
class CanParticipant {
public:
    // The frame this participant wants on the bus now (at nowNs), or nullptr.
    virtual const CanFrame* offer(uint64_t nowNs) = 0;
    // Earliest time at which offer() may return a frame it does not return now (scheduled sends).
    virtual uint64_t nextOfferNs() const { return UINT64_MAX; }
    // Its offered frame won arbitration and was sent; acknowledged = someone acknowledged it.
    virtual void onSent(bool acknowledged, uint64_t endNs) = 0;
    // A frame someone else sent, delivered at the end of the frame.
    virtual void onFrame(const CanFrame& frame, uint64_t endNs) = 0;
    // Whether it drives the ACK slot for frames it receives.
    virtual bool acknowledges() const { return true; }

protected:
    ~CanParticipant() = default;
};

struct CanBusRecord {
    CanFrame frame;
    uint64_t startNs;
    uint64_t endNs;
    int sender;  // controller index 0..2 for the node's controllers, -1 for any other participant
    bool acknowledged;
};

class CanBus {
public:
    // Disconnected: every transmitter is alone on the wire; nothing is acknowledged or received.
    virtual void setConnected(bool connected) = 0;
    virtual bool connected() const = 0;
    virtual uint32_t bitrate() const = 0;  // 1 Mbit/s unless changed
    virtual void setBitrate(uint32_t bitsPerSecond) = 0;
    virtual void attach(CanParticipant* participant) = 0;
    virtual void detach(CanParticipant* participant) = 0;
    virtual bool busy() const = 0;
    // Every transmission attempt that completed (with or without acknowledgement), in time order. At most
    // logLimit() records are kept (100000 after reset): beyond that the older half is dropped, so that a
    // long SITL run does not grow without bound.
    virtual const std::vector<CanBusRecord>& log() const = 0;
    // Called with every record as it is completed, whatever the log keeps (reset() removes it).
    virtual void setRecordObserver(std::function<void(const CanBusRecord&)> observer) = 0;
    virtual void clearLog() = 0;
    virtual void setLogLimit(std::size_t records) = 0;
    virtual std::size_t logLimit() const = 0;

protected:
    ~CanBus() = default;
};

// The bus of port 0..2 (CAN1..CAN3 are attached to their own bus).
CanBus& canBus(unsigned port);

// A simple node for tests: sends queued frames in queue order (one at a time, like a single mailbox,
// retrying until acknowledged), records and acknowledges everything it receives.
class CanPeer final : public CanParticipant {
public:
    explicit CanPeer(unsigned port);
    ~CanPeer();
    CanPeer(const CanPeer&) = delete;
    CanPeer& operator=(const CanPeer&) = delete;

    void send(const CanFrame& frame);
    void sendAt(uint64_t atNs, const CanFrame& frame);  // offered from atNs on
    std::size_t pending() const { return queue_.size(); }
    void setAcknowledges(bool ack) { acks_ = ack; }

    struct Received {
        CanFrame frame;
        uint64_t endNs;
    };
    std::vector<Received> received;
    std::vector<CanBusRecord> sent;  // its own completed transmissions

    const CanFrame* offer(uint64_t nowNs) override;
    uint64_t nextOfferNs() const override;
    void onSent(bool acknowledged, uint64_t endNs) override;
    void onFrame(const CanFrame& frame, uint64_t endNs) override;
    bool acknowledges() const override { return acks_; }

private:
    struct Queued {
        CanFrame frame;
        uint64_t atNs;
    };
    unsigned port_;
    std::deque<Queued> queue_;  // a long replay is taken from the front
    bool acks_ = true;
    CanFrame current_{};
};

// Fault switches of the node's controller i (0..2); reset() clears them, a power cycle keeps them (the
// fault outlives the node's resets).
// Mode requests (INRQ, SLEEP) are never acknowledged: MSR.INAK / SLAK stay as they are.
void canSetIgnoresModeRequests(unsigned controller, bool ignore);
// The receive line is stuck dominant: the controller can never see 11 recessive bits, so it cannot leave
// initialisation or sleep mode (INAK stays set after INRQ is cleared). One in normal mode is off its bus:
// it neither sends, receives nor acknowledges, turns error-passive (REC 128) and does not recover from
// bus-off until the line is released; then it takes part again at once.
void canSetRxStuckDominant(unsigned controller, bool stuck);
// Counts a transmit error burst that takes the controller bus-off (TEC > 255), as a shorted bus would.
void canForceBusOff(unsigned controller);
// The bit rate the controller's BTR and the APB1 clock give, in bit/s (0 if the quanta make no sense).
uint32_t canControllerBitrate(unsigned controller);

// ---------------------------------------------------------------------------------------------------------
// USART2
// Every byte that left the transmitter, in order.
const std::string& usart2Sent();
void usart2ClearSent();
// Bytes arriving on RX, one character time apart, starting now.
void usart2Receive(const std::string& bytes);
// One character (start, data, parity, stop bits) at the programmed baud rate; 0 while not set up.
uint64_t usart2CharTimeNs();

// ---------------------------------------------------------------------------------------------------------
// GPIO
bool gpioOutput(const GPIO_TypeDef* port, unsigned pin);  // ODR bit
uint32_t gpioMode(const GPIO_TypeDef* port, unsigned pin);  // MODER field
uint32_t gpioAlternate(const GPIO_TypeDef* port, unsigned pin);  // AFR field
void gpioSetInput(GPIO_TypeDef* port, unsigned pin, bool level);  // level outside, seen in IDR of inputs
uint32_t gpioChanges(const GPIO_TypeDef* port, unsigned pin);  // output edges since reset
uint64_t gpioLastChangeNs(const GPIO_TypeDef* port, unsigned pin);
// Called at every change of an output level, as it happens (null: none). Survives reset().
using GpioObserver = void (*)(const GPIO_TypeDef* port, unsigned pin, bool level, uint64_t ns);
void setGpioObserver(GpioObserver observer);

// ---------------------------------------------------------------------------------------------------------
// PWM outputs: the node's six timer pins, 0..3 = PA0..PA3 (TIM5 channels 1..4), 4 = PA5 (TIM2 channel 1),
// 5 = PB10 (TIM2 channel 3). A pin carries its channel's waveform while it is in alternate-function mode
// with the timer's function selected. A stopped counter holds the pin at the level its count and compare
// give (high when it stops inside a pulse), as the chip's compare logic does.
inline constexpr unsigned kPwmOutputs = 6;
struct PwmOutput {
    uint64_t pulseNs = 0;   // high time in each frame (the whole frame when the pin stays high)
    uint64_t periodNs = 0;  // frame length; 0 while the pin carries no frames (timer stopped, channel off,
                            // pin not routed, counter running past the period towards its wrap)
    uint64_t phaseNs = 0;   // with frames: a time at which one begins; frames begin every periodNs from it
    bool high = false;      // without frames: the level the pin holds
    // With frames, the timer's own counts they come from, exact where the times above are rounded: frame k
    // (k >= 0) begins firstTick + k * frameTicks ticks after originNs and is high for highTicks; a tick is
    // tickCycles cycles of the timer's clockHz.
    uint64_t originNs = 0;
    uint64_t firstTick = 0;
    uint64_t frameTicks = 0;
    uint64_t highTicks = 0;
    uint64_t tickCycles = 0;
    uint64_t clockHz = 0;
    uint64_t tickNs(uint64_t tick) const;  // when that tick begins, as the timer's events fall
    uint64_t ticksAt(uint64_t ns) const;   // whole ticks from originNs to ns
    uint32_t pulseUs() const;  // rounded to whole microseconds; 0 without frames
    uint32_t frameHz() const;  // rounded; 0 without frames
    bool operator==(const PwmOutput& other) const = default;
};
PwmOutput pwmOutput(unsigned output);
// Called at every change of an output's frames, pulse, phase or held level, with the virtual time it shows
// on the pin (a preloaded compare at the update event that loads it). The call comes at the next safe
// point, so a state that lasts no virtual time (a timer stopped and restarted in one go, where the
// counter loses no count) is not reported; a stop that lasts, or a counter restarted mid-frame, is.
// Null: none. Survives reset().
using PwmObserver = void (*)(unsigned output, const PwmOutput& now, uint64_t ns);
void setPwmObserver(PwmObserver observer);
// Called at every write of a compare register (CCR1..4 of TIM2 or TIM5) as it happens, whether or not the
// value is preloaded. Null: none. Survives reset().
using CompareObserver = void (*)(const TIM_TypeDef* timer, unsigned channel, uint32_t value, uint64_t ns);
void setCompareObserver(CompareObserver observer);

}  // namespace sim
