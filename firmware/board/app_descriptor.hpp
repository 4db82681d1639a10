#pragma once
// The application descriptor the bootloader looks for in the image: 32 bytes starting "APDesc00".

#include <cstddef>
#include <cstdint>

struct AppInfo_t {
    uint8_t APDesc[8];
    uint64_t image_crc;
    uint32_t image_size;
    uint32_t vcs_commit;
    uint8_t major_version;
    uint8_t minor_version;
    uint8_t flags;
    uint8_t _reserved_a_;
    uint32_t build_timestamp_utc;
};
static_assert(sizeof(AppInfo_t) == 32);
static_assert(offsetof(AppInfo_t, image_crc) == 8 && offsetof(AppInfo_t, vcs_commit) == 20 &&
              offsetof(AppInfo_t, major_version) == 24 && offsetof(AppInfo_t, build_timestamp_utc) == 28);

// Where the bootloader looks for it: right behind the image's 472-byte vector table, on its 8-byte boundary
// (the linker script's .app_descriptor).
inline constexpr uint32_t APP_DESCRIPTOR_OFFSET = 0x1D8;
static_assert(APP_DESCRIPTOR_OFFSET % 8U == 0U);

inline constexpr uint8_t FlagReleaseBuild = 1;
inline constexpr uint8_t FlagDirtyBuild = 2;

extern volatile const AppInfo_t AppInfo;

// Touches the descriptor so the linker keeps it.
void app_descriptor_Init();

// What GetNodeInfo reports of the software: the first 8 hex digits of the commit built (0 when not built
// from git), and the image's CRC-64-WE as the post-link step wrote it (0 for firmware that is not a linked
// image, such as the simulator's built-in node: no CRC to report).
uint32_t appDescriptorVcsCommit();
uint64_t appDescriptorImageCrc();
