#include "firmware/board/app_descriptor.hpp"

#include "build_commit.hpp"
#include "firmware/board/System_Config.hpp"

namespace {

// The commit is known when compiling; image_crc, image_size and the time stamp only once the image is
// linked: tools/app-descriptor.py fills them in (and the commit again) in the .elf, .bin and .hex alike.
constexpr AppInfo_t APPINFO = {
    {'A', 'P', 'D', 'e', 's', 'c', '0', '0'},
    0,
    0,
    kBuildCommit,
    APP_VERSION_MAJOR,
    APP_VERSION_MINOR,
    static_cast<uint8_t>(FlagReleaseBuild | (kBuildDirty ? FlagDirtyBuild : 0U)),
    0xFF,
    0,
};

}  // namespace

// Its own section, which the link places right behind the vector table on an 8-byte boundary.
__attribute__((section(".app_descriptor"), used, aligned(8))) volatile const AppInfo_t AppInfo = APPINFO;

void app_descriptor_Init()
{
    const uint8_t first = AppInfo.APDesc[0];
    static_cast<void>(first);
}

// Read from flash, not from the constant: the post-link step changed the bytes after compilation.
uint32_t appDescriptorVcsCommit() { return AppInfo.vcs_commit; }

uint64_t appDescriptorImageCrc() { return AppInfo.image_crc; }
