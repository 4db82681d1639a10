#pragma once
// The parameter server: GetSet requests read and write the parameter table by index or by name. Writes
// take effect at once and are kept in the store; the statistics rows show the live pool and driver
// counters. Main task only (runs inside the receive pump).

#include <cstdint>

#include "firmware/drivers/devices.hpp"
#include "firmware/node/params.hpp"
#include "firmware/node/ports.hpp"
#include "firmware/xport/xport.hpp"

// What the start-up found in the store.
enum class ParameterLoad : uint8_t {
    Stored,          // every row from the store, or its compiled-in value where the store had none
    Formatted,       // the store was formatted first: every row at its compiled-in value
    ValuesReplaced,  // as Stored, but a stored value outside its row's range was not used
    StoreDown,       // the store could not be brought up: every row at its compiled-in value
};

// Says on the console why a load was not Stored (a format only in the log); the console comes up after
// the load.
void reportParameterLoad(ParameterLoad load);

class Health;

// The server over the node's parameter table, its store and the live figures of its ports.
class ParamServer {
public:
    ParamServer(param_t (&parameters)[Var_Last], Store& store, Health& health, const Port (&ports)[PortCANLast])
        : parameters_(parameters), store_(store), health_(health), ports_(ports)
    {
    }

    // Start-up: brings the store up and loads every row from it (a row the store lacks is stored with its
    // compiled-in value). A stored value outside its row's range is not used: the row keeps its
    // compiled-in value, and the store keeps what it holds until a write replaces it. Tells health what it
    // found.
    ParameterLoad loadParameters();

    // Answers one GetSet transfer on the instance it arrived on. A write outside the row's range (for a
    // node ID: outside what the transport can use, 0..127), or one the store cannot keep, is refused:
    // nothing is stored and the answer shows the unchanged value and the usable range. A request that
    // does not decode whole is not answered. True when a row was written: whatever is built from the rows
    // (the output mapping) is to be rebuilt.
    bool getsetHandleXport(XportInstance* ins, XportRxTransfer* transfer);

    // The row the NUL-terminated `name` names: the row's name exactly, or without its trailing blanks and
    // tab; its index goes to *idx. None (a longer or shorter name among them): null, *idx = 0.
    param_t* getParamByName(const uint8_t* name, uint8_t* idx);

    // The row at index, or null above the last row.
    param_t* getParamByIndex(uint16_t index) { return index < Var_Last ? &parameters_[index] : nullptr; }

private:
    int64_t statistic(uint8_t idx) const;

    param_t* parameters_;
    Store& store_;
    Health& health_;
    const Port* ports_;
};
