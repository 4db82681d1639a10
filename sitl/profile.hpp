#pragma once
// What `endpoint-sitl --profile FILE` writes: one `name,value` line per figure, in the order added.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace sitl {

class Profile {
public:
    void add(const std::string& name, uint64_t value) { rows_.emplace_back(name, std::to_string(value)); }
    void add(const std::string& name, double value);
    std::string text() const;

private:
    std::vector<std::pair<std::string, std::string>> rows_;
};

}  // namespace sitl
