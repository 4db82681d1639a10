#include "sitl/profile.hpp"

#include <cstdio>

namespace sitl {

void Profile::add(const std::string& name, double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    rows_.emplace_back(name, text);
}

std::string Profile::text() const
{
    std::string out;
    for (const auto& [name, value] : rows_) {
        out.append(name).append(",").append(value).append("\n");
    }
    return out;
}

}  // namespace sitl
