// Start-up of the EEPROM emulation on whatever the two flash pages hold: it must never crash or read
// outside the pages, and must always end with one valid page and the other erased, readable and
// writable.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "firmware/drivers/eeprom.hpp"
#include "platform/sim/sim_flash.hpp"

namespace {

constexpr std::size_t kHalfWordsPerPage = PAGE_SIZE / 2U;

uint16_t status(uint32_t page_base) { return sim::flashPeek16(page_base); }

bool erased(uint32_t page_base)
{
    for (uint32_t a = page_base; a < page_base + PAGE_SIZE; a += 4) {
        if (sim::flashPeek32(a) != 0xFFFFFFFFU) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The input fills the start of page 0 and of page 1 (status word and the first records), half each;
    // the rest of both pages is erased, as a used store mostly is.
    std::vector<uint16_t> image(2 * kHalfWordsPerPage, 0xFFFFU);
    const std::size_t half = size / 2;
    std::memcpy(image.data(), data, half & ~std::size_t{1});
    std::memcpy(image.data() + kHalfWordsPerPage, data + half, (size - half) & ~std::size_t{1});
    sim::flashReset();
    sim::flashSetImage(image);
    FLASH_Unlock();

    if (EE_Init() != FLASH_COMPLETE) {
        std::abort();
    }
    const bool page0_valid = status(PAGE0_BASE_ADDRESS) == VALID_PAGE && erased(PAGE1_BASE_ADDRESS);
    const bool page1_valid = status(PAGE1_BASE_ADDRESS) == VALID_PAGE && erased(PAGE0_BASE_ADDRESS);
    if (page0_valid == page1_valid) {
        std::abort();
    }
    // The store works afterwards: what is written reads back.
    uint16_t value = 0;
    if (EE_WriteVariable(7, 0x1234) != FLASH_COMPLETE || EE_ReadVariable(7, &value) != 0 || value != 0x1234) {
        std::abort();
    }
    return 0;
}
