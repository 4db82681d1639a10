#pragma once
// Flight-controller selection on the three ports: which ports carry actuator commands (visibility, and
// its broadcast), which port's commands drive the outputs (the vote), and which ports to ignore. This
// module alone writes that state; the others read it here. What the outputs do about it is the caller's:
// the handlers and steps say when commands drive them and when they go off. Main task only: the handlers
// run inside the receive pumps, the periodic steps in the loop; nothing is locked.

#include <cstdint>

#include "firmware/drivers/bxcan.hpp"
#include "firmware/node/Voters.hpp"
#include "firmware/node/ports.hpp"
#include "firmware/xport/xport.hpp"

inline constexpr uint32_t CHECKFC_PERIOD_mS = 50;  // voter ageing
inline constexpr uint32_t VIS_CHECK_MS = 50;       // visibility check
inline constexpr uint32_t VS_TIMEOUT_MS = 100;     // a port whose last command is this old is not visible
inline constexpr uint32_t VIS_PUB_MS = 100;        // visibility broadcast, per port

// The election and the ports' flight-controller traffic. A new FcSelect has no port elected, no votes,
// and every periodic step due at its first call: the state at power-on.
class FcSelect {
public:
    // The node's ports (PortCANLast of them) and its 64-bit unique ID, which the visibility broadcast
    // carries.
    FcSelect(Port (&ports)[PortCANLast], uint64_t uniqId) : ports_(ports), uniqId_(uniqId) {}

    // The elected port whose commands drive the outputs; -1 for none.
    int8_t getActiveFCPort() const { return ActiveFCPort; }
    // An actuator or ESC command arrived on the port within the visibility timeout.
    bool getPixVisibility(PortCAN_t index) const { return ports_[index].vis.PixVisibility; }
    // Flight-controller traffic on the port (commands, votes, the visibility broadcast) is ignored.
    bool getIgnoreCanPort(PortCAN_t index) const { return ports_[index].vis.IgnoreCanPort; }

    // ArrayCommand and RawCommand: from any port that is not ignored they mark the port visible. True when
    // the command comes from the elected port: it drives the outputs.
    bool commandGateXport(Port& port);
    // UseFlightController: one vote into the voter, from the transfer's source node on this port; the
    // result is the elected port. True when the vote leaves no port elected: the outputs go off.
    bool voteHandleXport(Port& port, XportRxTransfer* transfer);
    // IgnoreCANPort: addressed by this node's ID on the receiving port, it replaces all three ignore flags.
    // Heard on ignored ports too, so that a port can be released.
    void ignoreHandleXport(Port& port, XportRxTransfer* transfer);

    // Loop steps, each returning at once until its period has passed (periods hold across the tick wrap).
    void UpdateVisibility();
    void PublishVisibility(Port& port);
    // Drops votes not repeated for 250 ms. True in every period that ends with no port elected: the
    // outputs stay off.
    bool UpdateFCList();

private:
    Port* ports_;
    uint64_t uniqId_;
    Voter voter_;
    int8_t ActiveFCPort = -1;
    uint32_t visibility_checked = 0;  // tick of the last visibility check
    uint32_t votes_aged = 0;          // tick of the last ageing of the votes
};
