#pragma once
// Driver of the three bxCAN controllers: bit timing, bring-up into normal mode, acceptance filters,
// transmission that never lets a lower-priority frame overtake a pending higher one, and interrupt-driven
// reception into one software FIFO per port.

#include <cstdint>

#include "chip.hpp"
#include "firmware/drivers/devices.hpp"
#include "firmware/xport/xport.hpp"

// Port index; every per-bus array has one entry per port in this order.
enum PortCAN_t : uint8_t {
    PortCAN1 = 0,
    PortCAN2 = 1,
    PortCAN3 = 2,
    PortCANLast = 3,
};
// As the node's log names the ports.
inline constexpr const char* PORT_CAN_NAME[PortCANLast] = {"CAN1", "CAN2", "CAN3"};

enum BxcanIfaceMode : uint8_t {
    BxcanIfaceModeNormal = 0,
    BxcanIfaceModeSilent = 1,
    BxcanIfaceModeAutomaticTxAbortOnError = 2,
};

using BxcanStats = CanPortStats;

// id and mask in the XportCANFrame identifier format (bits 0..28, EFF bit 31, RTR bit 30).
struct BxcanAcceptanceFilterConfiguration {
    uint32_t id;
    uint32_t mask;
};

struct BxcanCANTimings {
    uint16_t bit_rate_prescaler;              // 1..1024
    uint8_t bit_segment_1;                    // 1..16
    uint8_t bit_segment_2;                    // 1..8
    uint8_t max_resynchronization_jump_width; // 1..4
};

// Returned negated.
inline constexpr int BXCAN_ERROR_UNSUPPORTED_BIT_RATE = 1000;
inline constexpr int BXCAN_ERROR_MSR_INAK_NOT_SET = 1001;
inline constexpr int BXCAN_ERROR_MSR_INAK_NOT_CLEARED = 1002;
inline constexpr int BXCAN_ERROR_UNSUPPORTED_FRAME_FORMAT = 1003;

inline constexpr unsigned BXCAN_NUM_ACCEPTANCE_FILTERS = 14;  // filter banks per port
inline constexpr unsigned MAXRXFRAMES = 10;                   // frames per software receive FIFO
inline constexpr int USERXINT = 1;                            // the task never reads the hardware FIFOs

// The longest a port's bring-up waits for its controller. After the master reset it enters initialisation
// mode at once; it joins its bus after 11 recessive bits: 11 us of an idle bus at 1 Mbit/s, the end of
// the frame on the wire (at most some 160 us) on a busy one. Three ports so stay a few milliseconds
// inside the watchdog's period even when every bus keeps its controller out.
inline constexpr uint32_t BXCAN_INIT_TIMEOUT_US = 1000;

// What a port's controller is, fixed by the chip and the board: its registers, the filter block that
// holds its banks and the first of them, its receive interrupt lines, its clock and its pins.
struct BxcanControllerConfig {
    CAN_TypeDef* can;
    CAN_TypeDef* filter_block;
    uint8_t first_bank;
    IRQn_Type rx0_irq;
    IRQn_Type rx1_irq;
    uint32_t can_clock;   // controller clock enable on APB1
    uint32_t gpio_clock;  // pin port clock enable on AHB1
    GPIO_TypeDef* gpio;
    uint8_t pin_af;       // alternate function of both pins
    uint8_t rx_pin;       // pin numbers 0..15
    uint8_t tx_pin;
};

// Indexed by PortCAN_t.
extern const BxcanControllerConfig bxcanControllers[PortCANLast];

// 0, or -BXCAN_ERROR_UNSUPPORTED_BIT_RATE when no timing fits (out_timings then all zero); -2 for a null
// out_timings. Pure computation.
int bxcanComputeCANTimings(uint32_t peripheral_clock_rate, uint32_t target_bitrate, BxcanCANTimings* out_timings);

// 0: the controller runs on its bus; -2 for a bad port, mode or timings (the port is left as it was).
// Otherwise, after at most BXCAN_INIT_TIMEOUT_US, -1001 (initialisation mode not acknowledged: its request
// stays) or -1002 (configured, but it has not joined its bus: a receive line held dominant never shows the
// 11 recessive bits). Such a port is down; bxcanRetryInit finishes its bring-up once the controller lets it.
// The filters and the receive lines are set up either way.
int bxcanInit(const BxcanCANTimings* timings, BxcanIfaceMode iface_mode, PortCAN_t PortCAN);

// For the main loop at every visit of the port: true while its controller runs. A bring-up that
// bxcanInit left unfinished goes on here, without waiting: what the controller has acknowledged since is
// taken further, and once it has joined its bus the console says "4bxcan init ok". False for a bad port
// or one without bxcanInit.
bool bxcanRetryInit(PortCAN_t PortCAN);

// 1: placed in a mailbox (pop it from the queue); 0: not now (mailboxes taken, or the controller has not
// started), offer the same frame later; -2: null frame, bad port or data_len above 8; -1003: an error frame.
int bxcanTransmit(const XportCANFrame* frame, PortCAN_t PortCAN);

// True while a transmit mailbox of the port holds a frame not yet sent (false for a bad port).
bool bxcanTxPending(PortCAN_t PortCAN);

// 1: one frame written to out_frame; 0: nothing available; -2: null out_frame or bad port.
int bxcanReceive(XportCANFrame* out_frame, PortCAN_t PortCAN);

// 0, or -2 for a null list, more than BXCAN_NUM_ACCEPTANCE_FILTERS entries or a bad port (nothing changed).
// An empty list deactivates all of the port's banks.
int bxcanConfigureAcceptanceFilters(const BxcanAcceptanceFilterConfiguration* filter_configs,
                                    unsigned num_filter_configs, PortCAN_t PortCAN);

// True while the port's controller has not started, or is error-passive or bus-off: its frames go
// unacknowledged or its bus is faulty (false for a bad port).
bool bxcanBusDown(PortCAN_t PortCAN);

// A copy of the port's counters (all zero for a bad port). Not atomic: a 64-bit value may be torn.
BxcanStats bxcanGetStats(PortCAN_t PortCAN);

// The driver's start path (the node's start-up calls it first): puts every piece of its RAM back to its
// reset value, as a power cycle would. The controllers themselves are reset by their own bring-up.
void bxcanColdReset();

// A port's controller as the node uses it.
class BxcanPort final : public CanPort {
public:
    explicit constexpr BxcanPort(PortCAN_t index) : index_(index) {}
    bool joinBus() override;
    int transmit(const XportCANFrame& frame) override;
    bool transmitPending() override;
    int receive(XportCANFrame& frame) override;
    bool busDown() override;
    CanPortStats statistics() override;

private:
    PortCAN_t index_;
};
// One per controller, indexed by PortCAN_t.
extern BxcanPort bxcanPorts[PortCANLast];

// The receive FIFOs' interrupt handlers (CANn_RX0_IRQHandler, CANn_RX1_IRQHandler) are declared with all
// the chip's handlers (chip.hpp, platform/interface/periph.hpp).
