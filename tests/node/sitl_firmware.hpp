#pragma once
// The two ways endpoint-sitl runs the node, for scenario tests that must hold for both: the firmware
// compiled into the program, and the flashed image (ENDPOINT_IMAGE) on the emulated core.

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace sitl_firmware {

// endpoint-sitl's arguments for each way: none, or --elf with the image.
inline const auto kBothWays = ::testing::Values(std::string(), "--elf " + std::string(ENDPOINT_IMAGE));

inline std::string name(const ::testing::TestParamInfo<std::string>& way)
{
    return way.param.empty() ? "BuiltIn" : "Image";
}

// A test on the image cannot run before the stm32f413 preset has linked it.
inline bool imageMissing(const std::string& way) { return !way.empty() && !std::ifstream(ENDPOINT_IMAGE); }

}  // namespace sitl_firmware

#define SITL_SKIP_WITHOUT_IMAGE(way)                                                                      \
    if (sitl_firmware::imageMissing(way)) {                                                               \
        GTEST_SKIP() << "no chip image at " << ENDPOINT_IMAGE << ": build the stm32f413 preset first"; \
    }
