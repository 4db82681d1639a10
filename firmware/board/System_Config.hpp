#pragma once
// Build configuration of the image: which of the family's applications this is, its name and versions.

#include <cstdint>

inline constexpr int APP_ARBITER = 0;
inline constexpr int APP_ENDP = 1;
inline constexpr int APP_BRIDGE = 2;
inline constexpr int APP_CURR = APP_ENDP;

inline constexpr const char* NODE_NAME = "com.qon.endpoint";

inline constexpr uint8_t APP_VERSION_MAJOR = 1;
inline constexpr uint8_t APP_VERSION_MINOR = 0;
