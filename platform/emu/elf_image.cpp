#include "platform/emu/elf_image.hpp"

#include "platform/emu/fault_report.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace emu {

namespace {

constexpr uint16_t kMachineArm = 40;
constexpr uint32_t kPtLoad = 1;
constexpr uint32_t kShtSymtab = 2;
constexpr uint8_t kSttFunc = 2;
constexpr std::size_t kHeaderSize = 52;
constexpr std::size_t kProgramHeaderSize = 32;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::size_t kSymbolSize = 16;
// Nothing the chip holds is larger than its flash.
constexpr uint32_t kLargestSegment = 1024U * 1024U;

uint32_t le32(std::span<const uint8_t> f, std::size_t at)
{
    return static_cast<uint32_t>(f[at]) | static_cast<uint32_t>(f[at + 1]) << 8 |
           static_cast<uint32_t>(f[at + 2]) << 16 | static_cast<uint32_t>(f[at + 3]) << 24;
}

uint16_t le16(std::span<const uint8_t> f, std::size_t at)
{
    return static_cast<uint16_t>(f[at] | f[at + 1] << 8);
}

// True if [offset, offset + size) lies inside the file.
bool inFile(std::span<const uint8_t> f, uint64_t offset, uint64_t size)
{
    return offset <= f.size() && size <= f.size() - offset;
}

}  // namespace

std::string ElfImage::loadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return "cannot open " + path;
    }
    const std::vector<uint8_t> file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::string error = parse(file);
    return error.empty() ? error : path + ": " + error;
}

std::string ElfImage::parse(std::span<const uint8_t> f)
{
    segments_.clear();
    symbols_.clear();
    if (f.size() < kHeaderSize || std::memcmp(f.data(), "\x7f" "ELF", 4) != 0) {
        return "not an ELF file";
    }
    if (f[4] != 1 || f[5] != 1) {
        return "not a 32-bit little-endian ELF file";
    }
    if (le16(f, 18) != kMachineArm) {
        return "not an ARM executable";
    }
    const uint32_t phoff = le32(f, 28);
    const uint16_t phentsize = le16(f, 42);
    const uint16_t phnum = le16(f, 44);
    if (phnum == 0 || phentsize < kProgramHeaderSize ||
        !inFile(f, phoff, static_cast<uint64_t>(phentsize) * phnum)) {
        return "program headers missing or outside the file";
    }
    for (uint16_t i = 0; i < phnum; ++i) {
        const std::size_t ph = phoff + static_cast<std::size_t>(i) * phentsize;
        const uint32_t offset = le32(f, ph + 4);
        const uint32_t paddr = le32(f, ph + 12);
        const uint32_t filesz = le32(f, ph + 16);
        if (le32(f, ph) != kPtLoad || filesz == 0) {
            continue;
        }
        if (filesz > kLargestSegment) {
            segments_.clear();
            return "segment at " + hex(paddr) + " is too large (" + std::to_string(filesz) + " bytes)";
        }
        if (!inFile(f, offset, filesz)) {
            segments_.clear();
            return "segment at " + hex(paddr) + " reaches past the end of the file";
        }
        segments_.push_back({paddr, {f.begin() + offset, f.begin() + offset + filesz}});
    }
    if (segments_.empty()) {
        return "no loadable segment";
    }
    std::string error = parseSymbols(f);
    if (!error.empty()) {
        segments_.clear();
        symbols_.clear();
    }
    return error;
}

// A stripped file has no symbol table; that is fine, reports then name no functions.
std::string ElfImage::parseSymbols(std::span<const uint8_t> f)
{
    const uint32_t shoff = le32(f, 32);
    const uint16_t shentsize = le16(f, 46);
    const uint16_t shnum = le16(f, 48);
    if (shnum == 0) {
        return {};
    }
    if (shentsize < kSectionHeaderSize || !inFile(f, shoff, static_cast<uint64_t>(shentsize) * shnum)) {
        return "section headers outside the file";
    }
    auto section = [&](uint32_t index) { return shoff + static_cast<std::size_t>(index) * shentsize; };
    for (uint16_t i = 0; i < shnum; ++i) {
        const std::size_t sh = section(i);
        if (le32(f, sh + 4) != kShtSymtab) {
            continue;
        }
        const uint32_t offset = le32(f, sh + 16);
        const uint32_t size = le32(f, sh + 20);
        const uint32_t link = le32(f, sh + 24);
        if (link >= shnum || !inFile(f, offset, size)) {
            return "symbol table outside the file";
        }
        const uint32_t strOffset = le32(f, section(link) + 16);
        const uint32_t strSize = le32(f, section(link) + 20);
        if (!inFile(f, strOffset, strSize)) {
            return "string table outside the file";
        }
        for (uint32_t s = 0; s + kSymbolSize <= size; s += kSymbolSize) {
            const std::size_t sym = offset + s;
            const uint32_t name = le32(f, sym);
            if (name == 0 || name >= strSize) {
                continue;
            }
            const char* begin = reinterpret_cast<const char*>(f.data() + strOffset + name);
            const std::size_t length = strnlen(begin, strSize - name);
            const bool function = (f[sym + 12] & 0xFU) == kSttFunc;
            const uint32_t value = le32(f, sym + 4);
            symbols_.push_back({function ? value & ~1U : value, le32(f, sym + 8), function,
                                std::string(begin, length)});
        }
    }
    std::sort(symbols_.begin(), symbols_.end(),
              [](const Symbol& a, const Symbol& b) { return a.address < b.address; });
    return {};
}

std::string ElfImage::add(const ElfImage& other, const std::string& prefix)
{
    for (const Segment& mine : segments_) {
        for (const Segment& theirs : other.segments_) {
            if (mine.address < theirs.address + theirs.bytes.size() &&
                theirs.address < mine.address + mine.bytes.size()) {
                return "segment at " + hex(theirs.address) + " overlaps the image's at " + hex(mine.address);
            }
        }
    }
    segments_.insert(segments_.end(), other.segments_.begin(), other.segments_.end());
    for (Symbol s : other.symbols_) {
        s.name = prefix + s.name;
        symbols_.push_back(s);
    }
    std::stable_sort(symbols_.begin(), symbols_.end(),
                     [](const Symbol& a, const Symbol& b) { return a.address < b.address; });
    return {};
}

std::string ElfImage::functionAt(uint32_t address) const
{
    // The last function starting at or before the address; one with a size must also cover it.
    auto after = std::upper_bound(symbols_.begin(), symbols_.end(), address,
                                  [](uint32_t a, const Symbol& s) { return a < s.address; });
    for (auto it = std::make_reverse_iterator(after); it != symbols_.rend(); ++it) {
        if (!it->function) {
            continue;
        }
        if (it->size == 0 || address - it->address < it->size) {
            return it->name;
        }
        break;
    }
    return "?";
}

uint32_t ElfImage::functionNamed(const std::string& name) const
{
    // A free C++ function is mangled as _Z, the name's length, the name, then its parameter types; one in
    // a file's unnamed namespace has that namespace's name between; a member (Class::name) is nested:
    // _ZN (_ZNK for a const one), each part's length and the part, E.
    const std::size_t scope = name.find("::");
    std::vector<std::string> mangled;
    if (scope == std::string::npos) {
        const std::string length_and_name = std::to_string(name.size()) + name;
        mangled = {"_Z" + length_and_name, "_ZN12_GLOBAL__N_1" + length_and_name};
    } else {
        const std::string nested = std::to_string(scope) + name.substr(0, scope) +
                                   std::to_string(name.size() - scope - 2U) + name.substr(scope + 2U) + "E";
        mangled = {"_ZN" + nested, "_ZNK" + nested};
    }
    for (const Symbol& s : symbols_) {
        if (!s.function) {
            continue;
        }
        if (s.name == name) {
            return s.address;
        }
        for (const std::string& prefix : mangled) {
            if (s.name.compare(0, prefix.size(), prefix) == 0) {
                return s.address;
            }
        }
    }
    return 0;
}

uint32_t ElfImage::addressOf(const std::string& name) const
{
    for (const Symbol& s : symbols_) {
        if (s.name == name) {
            return s.address;
        }
    }
    return 0;
}

}  // namespace emu
