#pragma once
// The parameter table: one row per setting or statistic, in the order of the store's records and of the
// GetSet indices.

#include <cstddef>
#include <cstdint>

struct param_t {
    const char* name;
    int64_t val;
    int64_t min;
    int64_t max;
    int64_t defval;
};

enum : uint8_t {
    Var_EEFormat = 0,
    Var_NETID0 = 1,
    Var_NETID1 = 2,
    Var_NETID2 = 3,
    Var_CAN2PWM_CHStart = 4,
    Var_CAN2PWM_ACTStart = 10,
    Var_CAN_TotBlocks = 16,
    Var_CAN_CurrBlocks = 19,
    Var_CAN_PeakBlocks = 22,
    Var_CAN_RXOVF = 25,
    Var_CAN_RXERR = 28,
    Var_Last = 31,
};

// The rows as compiled in: names, ranges and the values a blank store starts from. The node's own table
// (Node::parameters) starts as a copy.
extern const param_t parameterRows[Var_Last];

// The row a name selects: its name exactly, or without the blanks and tab it ends in (tools trim them);
// length bytes of name, which need not end in a zero. None: -1.
int parameterNamed(const char* name, std::size_t length);

// The largest value row idx may hold: the row's own limit and, for a node ID, what the transport can use.
int64_t parameterMax(uint8_t idx);
// Whether value is one row idx may hold, wherever it comes from (a GetSet write, the store, --param).
bool parameterInRange(uint8_t idx, int64_t value);
