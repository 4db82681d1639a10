#include "firmware/node/params.hpp"

#include <cstring>

#include "firmware/xport/xport.hpp"

// Names are compared byte for byte by clients: the trailing blanks and tabs are part of them.
constexpr param_t parameterRows[Var_Last] = {
    {"FORMATID", 6, 6, 6, 6},
    {"NETID0", 110, 0, 255, 110},
    {"NETID1", 111, 0, 255, 111},
    {"NETID2", 112, 0, 255, 112},
    {"CAN2PWM_CH1", 1, 0, 16, 1},
    {"CAN2PWM_CH2", 2, 0, 16, 2},
    {"CAN2PWM_CH3", 3, 0, 16, 3},
    {"CAN2PWM_CH4", 4, 0, 16, 4},
    {"CAN2PWM_CH5", 5, 0, 16, 5},
    {"CAN2PWM_CH6", 6, 0, 16, 6},
    {"CAN2PWM_ACT_ESC1", 1, 0, 1, 1},
    {"CAN2PWM_ACT_ESC2", 1, 0, 1, 1},
    {"CAN2PWM_ACT_ESC3", 1, 0, 1, 1},
    {"CAN2PWM_ACT_ESC4", 1, 0, 1, 1},
    {"CAN2PWM_ACT_ESC5", 0, 0, 1, 0},
    {"CAN2PWM_ACT_ESC6", 0, 0, 1, 0},
    {"CAN1_TotBlocks ", 0, 0, 65535, 0},
    {"CAN2_TotBlocks ", 0, 0, 65535, 0},
    {"CAN3_TotBlocks ", 0, 0, 65535, 0},
    {"CAN1_CurrBlocks", 0, 0, 65535, 0},
    {"CAN2_CurrBlocks", 0, 0, 65535, 0},
    {"CAN3_CurrBlocks", 0, 0, 65535, 0},
    {"CAN1_PeakBlocks", 0, 0, 65535, 0},
    {"CAN2_PeakBlocks", 0, 0, 65535, 0},
    {"CAN3_PeakBlocks", 0, 0, 65535, 0},
    {"CAN1_RXOVF\t   ", 0, 0, 65535, 0},
    {"CAN2_RXOVF\t   ", 0, 0, 65535, 0},
    {"CAN3_RXOVF\t   ", 0, 0, 65535, 0},
    {"CAN1_RXERR     ", 0, 0, 65535, 0},
    {"CAN2_RXERR     ", 0, 0, 65535, 0},
    {"CAN3_RXERR     ", 0, 0, 65535, 0},
};

// A tool's "reset to default" and ERASE must give the same values.
constexpr bool defaultsAreTheCompiledInValues()
{
    for (const param_t& row : parameterRows) {
        if (row.defval != row.val) {
            return false;
        }
    }
    return true;
}
static_assert(defaultsAreTheCompiledInValues());

int parameterNamed(const char* name, std::size_t length)
{
    for (int i = 0; i < Var_Last; ++i) {
        const char* const row = parameterRows[i].name;
        std::size_t trimmed = std::strlen(row);
        const std::size_t whole = trimmed;
        while (trimmed > 0 && (row[trimmed - 1] == ' ' || row[trimmed - 1] == '\t')) {
            --trimmed;
        }
        if ((length == whole || length == trimmed) && std::memcmp(name, row, length) == 0) {
            return i;
        }
    }
    return -1;
}

int64_t parameterMax(uint8_t idx)
{
    const int64_t max = parameterRows[idx].max;
    const bool nodeId = idx >= Var_NETID0 && idx <= Var_NETID2;
    return nodeId && max > XPORT_MAX_NODE_ID ? XPORT_MAX_NODE_ID : max;
}

bool parameterInRange(uint8_t idx, int64_t value)
{
    return idx < Var_Last && value >= parameterRows[idx].min && value <= parameterMax(idx);
}
