// The linked image for the chip, read back from its ELF file: what the bootloader and the core find at
// 0x08020000, and that the image stays clear of the emulated EEPROM.
#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "firmware/board/app_descriptor.hpp"
#include "firmware/bootloader/app_image.hpp"

namespace {

constexpr uint32_t kImageBase = 0x08020000U;
constexpr uint32_t kEepromStart = 0x080C0000U;
constexpr uint32_t kInitialStack = 0x20050000U;
constexpr unsigned kVectorBytes = 472;

template <typename T>
T read(const std::vector<uint8_t>& bytes, std::size_t at)
{
    T v{};
    if (at + sizeof(T) <= bytes.size()) {
        std::memcpy(&v, bytes.data() + at, sizeof(T));
    }
    return v;
}

// Just enough of ELF32 (little-endian ARM) to read sections and symbols.
class Elf {
public:
    explicit Elf(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        bytes_.assign(std::istreambuf_iterator<char>(in), {});
        if (bytes_.size() < 52 || std::memcmp(bytes_.data(), "\x7f" "ELF", 4) != 0 || bytes_[4] != 1) {
            return;
        }
        const uint32_t shoff = read<uint32_t>(bytes_, 0x20);
        const uint16_t shentsize = read<uint16_t>(bytes_, 0x2E);
        const uint16_t shnum = read<uint16_t>(bytes_, 0x30);
        const uint16_t shstrndx = read<uint16_t>(bytes_, 0x32);
        for (uint16_t i = 0; i < shnum; ++i) {
            const std::size_t h = shoff + static_cast<std::size_t>(i) * shentsize;
            sections_.push_back({read<uint32_t>(bytes_, h), read<uint32_t>(bytes_, h + 4), read<uint32_t>(bytes_, h + 12),
                                 read<uint32_t>(bytes_, h + 16), read<uint32_t>(bytes_, h + 20),
                                 read<uint32_t>(bytes_, h + 24), {}});
        }
        if (shstrndx < sections_.size()) {
            for (Section& s : sections_) {
                s.name = cstring(sections_[shstrndx].offset + s.name_offset);
            }
        }
        for (const Section& s : sections_) {
            if (s.type == 2) {  // SHT_SYMTAB; its strings are in the linked section
                for (std::size_t at = s.offset; at + 16 <= s.offset + s.size; at += 16) {
                    const std::string name = cstring(sections_[s.link].offset + read<uint32_t>(bytes_, at));
                    symbols_[name] = read<uint32_t>(bytes_, at + 4);
                }
            }
        }
        valid_ = true;
    }

    bool valid() const { return valid_; }
    bool hasSymbol(const std::string& name) const { return symbols_.count(name) != 0; }
    uint32_t symbol(const std::string& name) const { return symbols_.at(name); }

    // Bytes at a flash address, from the section that holds it.
    std::vector<uint8_t> at(uint32_t address, uint32_t length) const
    {
        for (const Section& s : sections_) {
            if (s.type == 1 && address >= s.address && address + length <= s.address + s.size) {
                const auto from = bytes_.begin() + static_cast<long>(s.offset + (address - s.address));
                return {from, from + length};
            }
        }
        return {};
    }

    // Highest flash address the image occupies (load addresses of allocated, loaded sections).
    uint32_t flashEnd() const
    {
        uint32_t end = 0;
        const uint32_t program_headers = read<uint32_t>(bytes_, 0x1C);
        const uint16_t count = read<uint16_t>(bytes_, 0x2C);
        for (uint16_t i = 0; i < count; ++i) {
            const std::size_t h = program_headers + i * 32U;
            const uint32_t paddr = read<uint32_t>(bytes_, h + 12);
            const uint32_t filesz = read<uint32_t>(bytes_, h + 16);
            if (read<uint32_t>(bytes_, h) == 1 && filesz > 0 && paddr >= kImageBase) {  // PT_LOAD in flash
                end = std::max(end, paddr + filesz);
            }
        }
        return end;
    }

private:
    struct Section {
        uint32_t name_offset;
        uint32_t type;
        uint32_t address;
        uint32_t offset;
        uint32_t size;
        uint32_t link;
        std::string name;
    };

    std::string cstring(std::size_t at) const
    {
        std::string s;
        while (at < bytes_.size() && bytes_[at] != 0) {
            s.push_back(static_cast<char>(bytes_[at++]));
        }
        return s;
    }

    std::vector<uint8_t> bytes_;
    std::vector<Section> sections_;
    std::map<std::string, uint32_t> symbols_;
    bool valid_ = false;
};

class ImageTest : public ::testing::Test {
protected:
    Elf elf{ENDPOINT_IMAGE};

    // The host build alone has no image: that is a skip, not a failure. An image that is there must parse.
    void SetUp() override
    {
        if (!std::ifstream(ENDPOINT_IMAGE)) {
            GTEST_SKIP() << "no chip image at " << ENDPOINT_IMAGE << ": build the stm32f413 preset first";
        }
        ASSERT_TRUE(elf.valid()) << "not a readable image: " << ENDPOINT_IMAGE;
    }

    uint32_t vector(unsigned index) const { return read<uint32_t>(elf.at(kImageBase, kVectorBytes), index * 4U); }
};

TEST_F(ImageTest, VectorTableAtImageStart)
{
    ASSERT_EQ(elf.at(kImageBase, kVectorBytes).size(), kVectorBytes);
    EXPECT_EQ(vector(0), kInitialStack);

    const uint32_t reset = vector(1);
    EXPECT_EQ(reset & 1U, 1U) << "Thumb bit";
    EXPECT_EQ(reset & ~1U, elf.symbol("Reset_Handler") & ~1U);
    EXPECT_GT(reset, kImageBase);
    EXPECT_LT(reset, kEepromStart);

    const std::pair<unsigned, const char*> handlers[] = {
        {20, "CAN1_RX0_IRQHandler"}, {21, "CAN1_RX1_IRQHandler"}, {38, "USART2_IRQHandler"},
        {64, "CAN2_RX0_IRQHandler"}, {65, "CAN2_RX1_IRQHandler"}, {75, "CAN3_RX0_IRQHandler"},
        {76, "CAN3_RX1_IRQHandler"},
    };
    for (const auto& [irq, name] : handlers) {
        ASSERT_TRUE(elf.hasSymbol(name)) << name;
        EXPECT_EQ(vector(16 + irq), elf.symbol(name) | 1U) << name;
    }
    EXPECT_EQ(vector(15), elf.symbol("SysTick_Handler") | 1U);
    EXPECT_EQ(vector(16 + 0), elf.symbol("Default_Handler") | 1U) << "unused interrupts spin";
}

std::vector<uint8_t> fileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Written bit by bit from the definition, apart from the post-link step's table-free loop.
uint64_t crc64we(const std::vector<uint8_t>& bytes)
{
    uint64_t crc = ~0ULL;
    for (const uint8_t byte : bytes) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool top = ((crc >> 63) ^ ((byte >> bit) & 1U)) != 0;
            crc = (crc << 1) ^ (top ? 0x42F0E1EBA9EA3693ULL : 0ULL);
        }
    }
    return ~crc;
}

// The flash bytes an Intel HEX file describes, from base on (what it leaves out reads erased).
std::vector<uint8_t> hexImage(const std::string& path, uint32_t base)
{
    std::ifstream in(path);
    std::vector<uint8_t> image;
    uint32_t upper = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.size() < 11 || line[0] != ':') {
            return {};
        }
        std::vector<uint8_t> r;
        for (std::size_t i = 1; i + 1 < line.size() && line[i] != '\r'; i += 2) {
            r.push_back(static_cast<uint8_t>(std::stoul(line.substr(i, 2), nullptr, 16)));
        }
        const uint32_t offset = (static_cast<uint32_t>(r[1]) << 8) | r[2];
        if (r[3] == 4) {
            upper = ((static_cast<uint32_t>(r[4]) << 8) | r[5]) << 16;
        } else if (r[3] == 0) {
            const uint32_t at = upper + offset - base;
            if (image.size() < at + r[0]) {
                image.resize(at + r[0], 0xFF);
            }
            std::copy(r.begin() + 4, r.begin() + 4 + r[0], image.begin() + at);
        }
    }
    return image;
}

TEST_F(ImageTest, ApplicationDescriptorIsWhatTheBootloaderChecks)
{
    EXPECT_EQ(crc64we({'1', '2', '3', '4', '5', '6', '7', '8', '9'}), 0x62EC59E3F1A4F00AULL) << "CRC-64-WE check value";

    ASSERT_TRUE(elf.hasSymbol("AppInfo"));
    const uint32_t address = elf.symbol("AppInfo");
    EXPECT_EQ(address % 8U, 0U);
    EXPECT_EQ(address, kImageBase + APP_DESCRIPTOR_OFFSET) << "where the bootloader looks";
    const std::vector<uint8_t> d = elf.at(address, 32);
    ASSERT_EQ(d.size(), 32U);
    EXPECT_EQ(std::string(d.begin(), d.begin() + 8), "APDesc00");
    EXPECT_EQ(d[24], 1);                            // major_version
    EXPECT_EQ(d[25], 0);                            // minor_version
    EXPECT_EQ(d[26] & 1U, 1U);                      // flags: release build (bit 1: a dirty tree)
    EXPECT_EQ(d[27], 0xFF);

    // endpoint.bin is the image from its first byte; the descriptor in it is the ELF's.
    const std::string elf_path = ENDPOINT_IMAGE;
    const std::string stem = elf_path.substr(0, elf_path.size() - 4);
    std::vector<uint8_t> bin = fileBytes(stem + ".bin");
    ASSERT_GT(bin.size(), address - kImageBase + 32U);
    const std::size_t at = address - kImageBase;
    EXPECT_TRUE(std::equal(d.begin(), d.end(), bin.begin() + static_cast<long>(at))) << ".elf and .bin differ";
    EXPECT_EQ(hexImage(stem + ".hex", kImageBase), bin) << ".hex and .bin differ";

    EXPECT_EQ(read<uint32_t>(d, 16), bin.size());  // image_size
    const uint64_t image_crc = read<uint64_t>(d, 8);
    std::fill_n(bin.begin() + static_cast<long>(at) + 8, 8, 0);
    EXPECT_EQ(image_crc, crc64we(bin)) << "over the whole .bin, image_crc taken as zero";
    // Built from git: a commit and its time (after 2020); outside git both are 0.
    const uint32_t vcs_commit = read<uint32_t>(d, 20);
    const uint32_t timestamp = read<uint32_t>(d, 28);
    EXPECT_NE(vcs_commit, 0xDEADBEEFU);
    EXPECT_EQ(vcs_commit == 0, timestamp == 0);
    EXPECT_TRUE(timestamp == 0 || timestamp > 1577836800U);
}

// The bootloader's check takes the image as linked, and nothing that differs from it by a byte.
TEST_F(ImageTest, TheBootloaderStartsTheLinkedImageOnly)
{
    const std::string elf_path = ENDPOINT_IMAGE;
    std::vector<uint8_t> bin = fileBytes(elf_path.substr(0, elf_path.size() - 4) + ".bin");
    const auto size = static_cast<uint32_t>(bin.size());
    ASSERT_GT(size, APP_DESCRIPTOR_OFFSET + 32U);
    EXPECT_EQ(appImageSize(bin.data(), APP_IMAGE_MAX_SIZE), size);
    EXPECT_EQ(appImageSize(bin.data(), size), size) << "exactly what was written";
    EXPECT_EQ(appImageSize(bin.data(), size - 1U), 0U) << "one byte short";

    const uint32_t crc_at = APP_DESCRIPTOR_OFFSET + 8U;
    for (const uint32_t at : {0U, crc_at, crc_at + 7U, APP_DESCRIPTOR_OFFSET, APP_DESCRIPTOR_OFFSET + 16U, size - 1U}) {
        bin[at] ^= 0x01;  // a changed byte, the CRC field, the magic, image_size
        EXPECT_EQ(appImageSize(bin.data(), APP_IMAGE_MAX_SIZE), 0U) << at;
        bin[at] ^= 0x01;
    }
    const std::vector<uint8_t> blank(APP_DESCRIPTOR_OFFSET + 32U, 0xFF);
    EXPECT_EQ(appImageSize(blank.data(), APP_IMAGE_MAX_SIZE), 0U);
}

TEST_F(ImageTest, ImageEndsBeforeTheEeprom)
{
    EXPECT_GT(elf.flashEnd(), kImageBase + kVectorBytes);
    EXPECT_LE(elf.flashEnd(), kEepromStart);
}

}  // namespace
