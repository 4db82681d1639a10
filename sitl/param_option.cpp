#include "sitl/param_option.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "firmware/drivers/NVM.hpp"
#include "firmware/node/params.hpp"
#include "firmware/xport/xport.hpp"

namespace sitl {
namespace {

// The row's name without the blanks and tabs some names end in.
std::string trimmed(const char* name)
{
    std::string s = name;
    s.erase(s.find_last_not_of(" \t") + 1);
    return s;
}

}  // namespace

bool parseParamWrite(const std::string& text, ParamWrite* out, std::string* error)
{
    const std::size_t eq = text.find('=');
    if (eq == std::string::npos) {
        *error = "--param takes NAME=VALUE, not " + text;
        return false;
    }
    const std::string name = text.substr(0, eq);
    const std::string value = text.substr(eq + 1);
    int row = -1;
    for (int i = 0; i < Var_Last; ++i) {
        if (trimmed(parameterRows[i].name) == name) {
            row = i;
        }
    }
    if (row < 0) {
        *error = "--param: no parameter named " + name;
        return false;
    }
    if (row == Var_EEFormat || row >= Var_CAN_TotBlocks) {
        *error = "--param: " + name + " is not a setting (the store's format or a statistic)";
        return false;
    }
    const param_t& p = parameterRows[row];
    // A node ID must also be one the transport can use.
    const int64_t max = row >= Var_NETID0 && row <= Var_NETID2 && p.max > XPORT_MAX_NODE_ID ? XPORT_MAX_NODE_ID : p.max;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || errno != 0 || v < p.min || v > max) {
        *error = "--param: " + name + " takes an integer " + std::to_string(p.min) + ".." + std::to_string(max) +
                 ", not " + value;
        return false;
    }
    *out = {static_cast<uint8_t>(row), v};
    return true;
}

void applyParamWrites(const std::vector<ParamWrite>& writes)
{
    if (writes.empty()) {
        return;
    }
    // The same store bring-up as at start-up, so that a store of another layout is wiped first and not
    // after the writes.
    InitNVM();
    for (const ParamWrite& w : writes) {
        (void)NVMSet(w.index, static_cast<NMVVar_t>(static_cast<uint64_t>(w.value) & 0xFFFFU));
    }
}

}  // namespace sitl
