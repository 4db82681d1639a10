#pragma once
// The live node at a glance, on a terminal: one line rewritten each wall-clock second with the elected bus
// (from the LEDs, which show it one-hot), the six outputs' pulse widths and rates, the LEDs, and per
// attached bus the frames in and out and what was dropped.

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "sitl/backend.hpp"

namespace sitl {

class StatusLine {
public:
    StatusLine(const std::vector<std::unique_ptr<Backend>>& backends, std::FILE* out);
    ~StatusLine();  // ends the line, so that what follows starts on its own
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    // Rewrites the line if a second has passed since it was last written.
    void refresh();
    std::string text() const;

private:
    const std::vector<std::unique_ptr<Backend>>& backends_;
    std::FILE* out_;
    std::chrono::steady_clock::time_point due_;
    bool written_ = false;
};

}  // namespace sitl
