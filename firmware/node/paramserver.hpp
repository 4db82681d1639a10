#pragma once
// The parameter server: GetSet requests read and write the parameter table by index or by name. Writes
// take effect at once and are kept in the store; the statistics rows show the live pool and driver
// counters. Main task only (runs inside the receive pump).

#include <cstdint>

#include "firmware/node/params.hpp"
#include "firmware/xport/xport.hpp"

// Answers one GetSet transfer on the instance it arrived on. A write outside the row's range (for a node
// ID: outside what the transport can use, 0..127) is refused: nothing is stored and the answer shows the
// unchanged value and the usable range. A request that does not decode whole is not answered. True when
// a row was written: whatever is built from the rows (the output mapping) is to be rebuilt.
bool getsetHandleXport(XportInstance* ins, XportRxTransfer* transfer);

// The first row whose whole name starts the NUL-terminated `name` (a longer requested name still selects
// it, a shorter one does not); its index goes to *idx. None: null, *idx = 0.
param_t* getParamByName(uint8_t* name, uint8_t* idx);

// The row at index, or null above the last row.
param_t* getParamByIndex(uint16_t index);
