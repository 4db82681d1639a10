#include "firmware/board/app_descriptor.hpp"

#include "firmware/board/System_Config.hpp"

namespace {

// image_crc, image_size and the time stamp are left for a post-link step to fill in.
constexpr AppInfo_t APPINFO = {
    {'A', 'P', 'D', 'e', 's', 'c', '0', '0'},
    0,
    0,
    GIT_HASH,
    APP_VERSION_MAJOR,
    APP_VERSION_MINOR,
    FlagReleaseBuild,
    0xFF,
    UNIX_TIMESTAMP,
};

}  // namespace

// Its own section, which the link places right behind the vector table on an 8-byte boundary.
__attribute__((section(".app_descriptor"), used, aligned(8))) volatile const AppInfo_t AppInfo = APPINFO;

void app_descriptor_Init()
{
    const uint8_t first = AppInfo.APDesc[0];
    static_cast<void>(first);
}
