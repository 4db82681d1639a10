// The bootloader's start: a valid application starts at once, with nothing set up but the clock, so that a
// start costs the chip no more than the image check. Without one the chip stays here and never runs a
// half-written image.
#include "chip.hpp"
#include "firmware/board/boot_handoff.hpp"
#include "firmware/board/system_stm32f4xx.hpp"
#include "firmware/bootloader/app_image.hpp"
#include "platform/interface/core.hpp"

int main()
{
    // SystemInit pointed VTOR at the application's table; until it starts, interrupts are ours.
    SCB->VTOR = FLASH_BASE;

    // The image check reads the whole image: at 96 MHz with the flash caches it takes a sixth of the time.
    SystemClock_Config();

    // The update a hand-off asks for is not served here yet: the record is taken, so that it is seen once,
    // and the application the chip has goes on.
    BootHandoff record{};
    (void)bootHandoffTake(&record);
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the application lives at a fixed address
    const auto* image = reinterpret_cast<const volatile uint8_t*>(APP_IMAGE_BASE);
    if (appImageSize(image, APP_IMAGE_MAX_SIZE) != 0U) {
        coreStartImage(APP_IMAGE_BASE);
    }
    for (;;) {
    }
}
