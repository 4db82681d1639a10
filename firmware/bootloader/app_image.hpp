#pragma once
// The application's place in flash and what makes an image there startable.

#include <cstdint>

#include "chip.hpp"
#include "firmware/board/system_stm32f4xx.hpp"

// Sectors 5 to 9: behind the bootloader's 128 KB, before the parameter sectors 10 and 11.
inline constexpr uint32_t APP_IMAGE_BASE = FLASH_BASE + VECT_TAB_OFFSET;
inline constexpr uint32_t APP_IMAGE_MAX_SIZE = FLASH_DATA_START - APP_IMAGE_BASE;
static_assert(APP_IMAGE_BASE == 0x08020000U && APP_IMAGE_MAX_SIZE == 640U * 1024U);

// The image's size if `image` (its first byte at APP_IMAGE_BASE) holds a whole application within `limit`
// bytes: "APDesc00" at APP_DESCRIPTOR_OFFSET, an image_size that covers the descriptor and fits the limit,
// and CRC-64-WE over image_size bytes, the image_crc field taken as zero, equal to image_crc. Otherwise 0.
uint32_t appImageSize(const volatile uint8_t* image, uint32_t limit);
