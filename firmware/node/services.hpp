#pragma once
// The standard services every DroneCAN node answers: GetTransportStats, param.ExecuteOpcode, RestartNode,
// GetDataTypeInfo and file.BeginFirmwareUpdate. Each answers on the instance the request arrived on, with
// its transfer ID and priority.
// Main task only (runs inside the receive pump).

#include "firmware/node/ports.hpp"
#include "firmware/xport/xport.hpp"

class Health;

inline constexpr uint32_t RESTART_BOUND_MS = 100;

// A new Services has no restart armed: the state at power-on.
class Services {
public:
    Services(Store& store, Health& health) : store_(store), health_(health) {}

    // The port's transport counters and its controller's frame counters (one interface entry).
    void transportStatsHandleXport(Port& port, XportRxTransfer* transfer);

    // SAVE: ok (every accepted write is already stored). ERASE: the store is emptied so that the next
    // start takes the compiled-in values; the running values stay. Any other opcode: not ok. A request
    // that does not decode whole is not answered.
    void opcodeHandleXport(XportInstance* ins, XportRxTransfer* transfer);

    // The magic number answers ok and arms the restart, while `allowed` (no flight controller drives the
    // outputs); anything else answers not ok and changes nothing. A request that does not decode whole is
    // not answered.
    void restartHandleXport(Port& port, XportRxTransfer* transfer, bool allowed);

    // The row of DATA_TYPES the request names, by its name if it gives one, else by ID and kind; a type
    // not there is answered as asked, with no flags. A request that does not decode whole is not answered.
    void dataTypeInfoHandleXport(Port& port, XportRxTransfer* transfer);

    // BeginFirmwareUpdate: INVALID_MODE (with a message) unless `allowed`, IN_PROGRESS while a reset is
    // armed, UNKNOWN for a file server that cannot be a node; otherwise OK, and the restart is armed with
    // the update's hand-off record (this bus, our ID, the server, the path) written as the reset comes. A
    // source_node_id of 0 names the requester. A request that does not decode whole is not answered.
    void updateHandleXport(Port& port, XportRxTransfer* transfer, bool allowed);

    // Once per pass: an armed restart resets the chip when its answer has left the port, or after
    // RESTART_BOUND_MS if the bus takes nothing.
    void restartPoll();

private:
    void armRestart(Port& port);

    Store& store_;
    Health& health_;
    Port* restart_port = nullptr;  // the port the armed restart's answer leaves on; null while none is armed
    uint32_t restart_armed_at = 0;
    // An armed restart that hands an update to the bootloader: the record's fields are filled as the
    // request is answered, and sealed only as the reset comes, so nothing valid is left by an answer that
    // never left.
    bool update_armed = false;
};
