// The bootloader's start: a valid application starts at once, with nothing set up but the clock, so that a
// start costs the chip no more than the image check. A hand-off record from the application asks for an
// update; without a valid application and without a record the chip stays here in maintenance. It never
// runs a half-written image.
#include "chip.hpp"
#include "firmware/board/boot_handoff.hpp"
#include "firmware/board/system_stm32f4xx.hpp"
#include "firmware/bootloader/app_image.hpp"
#include "firmware/bootloader/updater.hpp"
#include "platform/interface/core.hpp"

int main()
{
    // SystemInit pointed VTOR at the application's table; until it starts, interrupts are ours.
    SCB->VTOR = FLASH_BASE;

    // The image check reads the whole image: at 96 MHz with the flash caches it takes a sixth of the time.
    SystemClock_Config();

    // The record is taken whenever it is looked at, so that an update is tried once per request.
    BootHandoff record{};
    const bool update = bootHandoffTake(&record);
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the application lives at a fixed address
    const auto* image = reinterpret_cast<const volatile uint8_t*>(APP_IMAGE_BASE);
    if (!update && appImageSize(image, APP_IMAGE_MAX_SIZE) != 0U) {
        coreStartImage(APP_IMAGE_BASE);
    }
    bootloaderRun(update ? &record : nullptr);
}
