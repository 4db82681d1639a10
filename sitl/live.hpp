#pragma once
// The node in real time: virtual time paced by the wall clock, the bus back-ends served between passes,
// until SIGINT, SIGTERM or virtual time untilNs.

#include <cstdint>
#include <memory>
#include <vector>

#include "sitl/backend.hpp"

namespace sitl {

void runLive(const std::vector<std::unique_ptr<Backend>>& backends, uint64_t untilNs);

}  // namespace sitl
