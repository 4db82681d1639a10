// Start-up of the EEPROM emulation on whatever the two flash pages hold, with the power cut inside it or
// not: it must never crash or read outside the pages, and the start-up that runs to its end, with the
// spare's erase the node runs later, must leave one valid page and the other erased (but for the mark of
// its erase), readable and writable.
//
// Input: byte 0 is the operation of the first start-up at which the power goes (0: none), byte 1 the
// seed of what the cut leaves; the rest fills the start of page 0 and of page 1 (status word and the first
// records), half each. The rest of both pages is erased, as a used store mostly is.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "firmware/drivers/eeprom.hpp"
#include "platform/sim/sim_flash.hpp"

namespace {

constexpr std::size_t kHalfWordsPerPage = PAGE_SIZE / 2U;
constexpr uint16_t kSpareMark = 0x5AA5U;

bool valid(uint32_t page_base, uint32_t other_base)
{
    return sim::flashPeek16(page_base) == VALID_PAGE && sim::flashPeek16(other_base) == ERASED &&
           sim::flashPeek16(other_base + 2U) == kSpareMark && sim::flashErased(other_base + 4U, PAGE_SIZE - 4U);
}

// Both pages, kept from run to run: only the half-words an input wrote are put back to erased.
struct Image {
    std::vector<uint16_t> half_words = std::vector<uint16_t>(2 * kHalfWordsPerPage, 0xFFFFU);
    std::size_t written = 0;  // per page

    void load(const uint8_t* data, std::size_t size)
    {
        size = std::min<std::size_t>(size, 2 * PAGE_SIZE);
        for (const std::size_t page_start : {std::size_t{0}, kHalfWordsPerPage}) {
            std::fill_n(half_words.begin() + static_cast<long>(page_start), written, uint16_t{0xFFFFU});
        }
        const std::size_t half = size / 2;
        written = std::min((size - half) / 2, kHalfWordsPerPage);
        std::memcpy(half_words.data(), data, half & ~std::size_t{1});
        std::memcpy(half_words.data() + kHalfWordsPerPage, data + half, (size - half) & ~std::size_t{1});
        sim::flashSetImage(half_words);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Image image;
    if (size < 2) {
        return 0;
    }
    sim::flashReset();
    image.load(data + 2, size - 2);
    FLASH_Unlock();

    if (data[0] != 0) {
        sim::flashCutPower(data[0], data[1]);
        (void)EE_Init();
        sim::flashPowerCycle();
        FLASH_Unlock();
    }
    if (EE_Init() != FLASH_COMPLETE || EE_EraseSpare() != FLASH_COMPLETE) {
        std::abort();
    }
    if (valid(PAGE0_BASE_ADDRESS, PAGE1_BASE_ADDRESS) == valid(PAGE1_BASE_ADDRESS, PAGE0_BASE_ADDRESS)) {
        std::abort();
    }
    // The store works afterwards: what is written reads back.
    uint16_t value = 0;
    if (EE_WriteVariable(7, 0x1234) != FLASH_COMPLETE || EE_ReadVariable(7, &value) != 0 || value != 0x1234) {
        std::abort();
    }
    return 0;
}
