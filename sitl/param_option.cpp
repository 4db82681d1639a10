#include "sitl/param_option.hpp"

#include <cerrno>
#include <cstdlib>

#include "firmware/drivers/NVM.hpp"
#include "firmware/node/params.hpp"

namespace sitl {

bool parseParamWrite(const std::string& text, ParamWrite* out, std::string* error)
{
    const std::size_t eq = text.find('=');
    if (eq == std::string::npos) {
        *error = "--param takes NAME=VALUE, not " + text;
        return false;
    }
    const std::string name = text.substr(0, eq);
    const std::string value = text.substr(eq + 1);
    const int row = parameterNamed(name.data(), name.size());
    if (row < 0) {
        *error = "--param: no parameter named " + name;
        return false;
    }
    if (row == Var_EEFormat || row >= Var_CAN_TotBlocks) {
        *error = "--param: " + name + " is not a setting (the store's format or a statistic)";
        return false;
    }
    const auto idx = static_cast<uint8_t>(row);
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || errno != 0 || !parameterInRange(idx, v)) {
        *error = "--param: " + name + " takes an integer " + std::to_string(parameterRows[row].min) + ".." +
                 std::to_string(parameterMax(idx)) + ", not " + value;
        return false;
    }
    *out = {idx, v};
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
