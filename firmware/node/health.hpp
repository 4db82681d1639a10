#pragma once
// The node's health as NodeStatus and GetNodeInfo report it, from conditions that hold now:
// - WARNING while one of the buses is down: its controller has not started (its bus keeps it out), or is
//   error-passive or bus-off, which is what its frames going unacknowledged soon makes it; the flight
//   controllers on the other buses see it so;
// - ERROR from a start-up whose store could not be brought up: the node runs on the compiled-in values,
//   which may not be the vehicle's configuration (node IDs, which output follows which command), and
//   cannot keep a setting;
// - WARNING while the store cannot be written: its last write or format failed (until one succeeds);
// - WARNING from a start-up that found stored values outside their rows' ranges and used the compiled-in
//   ones instead;
// - WARNING while another node sends with one of the ports' node IDs (what it sends is ignored);
// - WARNING for a minute after a reset by the watchdog, so that an integrator sees it happened;
// - OK otherwise.
// CRITICAL is not used: none of these stops the node from doing its job on the buses that work.
// Main task only.

#include <cstdint>

#include "firmware/node/ports.hpp"

// Why health is what it is: the first that holds, in this order.
enum HealthCause : uint8_t {
    CauseNone,
    CauseStoreDown,  // the only ERROR
    CauseBusDown,
    CauseDuplicateNodeId,
    CauseStoreFailed,
    CauseValuesReplaced,
    CauseWatchdogReset,
    CauseCount,
};

// The node's log on the buses, once a millisecond (called every pass): a change of health goes into it
// with its reason, and the oldest note waiting is sent as LogMessage, at the node's low priority, on every
// port that has a node ID and a bus that is up. At most LOG_BURST notes go out at once, then one per
// LOG_PERIOD_MS, so that a bus going down and up, or anything else that repeats, never floods the buses.
inline constexpr uint8_t LOG_BURST = 4;
inline constexpr uint32_t LOG_PERIOD_MS = 1000;

// A new Health has a working store, as at power-on.
class Health {
public:
    explicit Health(Port (&ports)[PortCANLast]);

    // The outcome of a write to the store (a parameter, a format).
    void healthStoreResult(bool ok) { storeFailed = !ok; }
    // What the start-up's load found: whether the store came up, and whether a stored value was replaced.
    void healthStoreStart(bool started, bool valuesReplaced)
    {
        storeDown = !started;
        storedValuesReplaced = valuesReplaced;
    }
    // UAVCAN_PROTOCOL_NODESTATUS_HEALTH_OK, _WARNING or _ERROR.
    uint8_t nodeHealth() const;
    void publishLog();

private:
    HealthCause healthCause() const;

    Port* ports_;
    bool storeFailed = false;
    bool storeDown = false;
    bool storedValuesReplaced = false;
    HealthCause loggedCause = CauseNone;
    uint8_t logTokens = LOG_BURST;
    uint32_t logRefilledAt;
    uint32_t logCheckedAt;
};
