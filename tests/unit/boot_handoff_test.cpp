// The boot hand-off record and its check value: taken once, and refused when any byte the check covers
// changed or the path length cannot be.
#include <gtest/gtest.h>

#include <cstring>

#include "firmware/board/boot_handoff.hpp"
#include "firmware/board/crc64we.hpp"

namespace {

TEST(Crc64We, TheCatalogueCheckValue)
{
    const uint8_t text[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(crc64weFinal(crc64weAdd(CRC64WE_INITIAL, text, sizeof text)), 0x62EC59E3F1A4F00AULL);
    // In pieces as whole.
    EXPECT_EQ(crc64weFinal(crc64weAdd(crc64weAdd(CRC64WE_INITIAL, text, 4), text + 4, 5)), 0x62EC59E3F1A4F00AULL);
}

TEST(BootHandoff, ASealedRecordIsTakenOnceAndAChangedOneNever)
{
    BootHandoff out{};
    const auto fill = [] {
        std::memset(&bootHandoff, 0x5C, sizeof bootHandoff);  // what RAM held before
        bootHandoff.bus = 2;
        bootHandoff.node_id = 77;
        bootHandoff.server_node_id = 10;
        bootHandoff.path_len = 3;
        std::memcpy(bootHandoff.path, "a/b", 3);
    };
    fill();
    EXPECT_FALSE(bootHandoffTake(&out)) << "not sealed";
    fill();
    bootHandoffSeal();
    ASSERT_TRUE(bootHandoffTake(&out));
    EXPECT_EQ(out.bus, 2);
    EXPECT_EQ(out.node_id, 77);
    EXPECT_EQ(std::memcmp(out.path, "a/b", 3), 0);
    EXPECT_FALSE(bootHandoffTake(&out)) << "taken once";

    // One bit of the last path byte, of the first field, or a length no path has.
    for (const std::size_t at : {offsetof(BootHandoff, path) + BOOT_HANDOFF_PATH_MAX - 1, std::size_t{0}}) {
        fill();
        bootHandoffSeal();
        reinterpret_cast<uint8_t*>(&bootHandoff)[at] ^= 0x01;
        EXPECT_FALSE(bootHandoffTake(&out)) << at;
    }
    fill();
    bootHandoff.path_len = BOOT_HANDOFF_PATH_MAX + 1;
    bootHandoffSeal();
    EXPECT_FALSE(bootHandoffTake(&out));
}

}  // namespace
