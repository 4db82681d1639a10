#pragma once
// The node in real time: virtual time paced by the wall clock, the bus back-ends served between passes,
// until SIGINT, SIGTERM or virtual time untilNs.

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "sitl/backend.hpp"

namespace sitl {

// Runs the firmware, however it is run, until virtual time t_ns; false if it stopped (the image at a fault).
using RunUntil = std::function<bool(uint64_t t_ns)>;

// False if the firmware stopped.
bool runLive(const std::vector<std::unique_ptr<Backend>>& backends, uint64_t untilNs, const RunUntil& runUntil);

}  // namespace sitl
