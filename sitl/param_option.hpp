#pragma once
// --param NAME=VALUE: a parameter written into the store before the node starts, as a GetSet write would
// store it (the same ranges; FORMATID and the statistics rows are not settings).

#include <cstdint>
#include <string>
#include <vector>

namespace sitl {

struct ParamWrite {
    uint8_t index;
    int64_t value;
};

// Checks one NAME=VALUE; false with a message in *error for an unknown name or a refused value.
bool parseParamWrite(const std::string& text, ParamWrite* out, std::string* error);

// Stores the writes through the firmware's own store, on the flash the chip will find at power-on.
void applyParamWrites(const std::vector<ParamWrite>& writes);

}  // namespace sitl
