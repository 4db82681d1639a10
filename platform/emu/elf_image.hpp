#pragma once
// An ELF32 ARM executable as the core loads it: the bytes of every PT_LOAD segment at its physical
// (load) address, and the symbol table for reports.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace emu {

struct Segment {
    uint32_t address;  // physical (load) address
    std::vector<uint8_t> bytes;
};

struct Symbol {
    uint32_t address;  // Thumb bit cleared
    uint32_t size;
    bool function;
    std::string name;
};

class ElfImage {
public:
    // Both return an empty string on success, otherwise what is wrong with the file; the image is then
    // left empty.
    std::string loadFile(const std::string& path);
    std::string parse(std::span<const uint8_t> file);

    // Adds a second image's segments, which must not overlap this one's, and its symbols under `prefix`, so
    // that a lookup by name finds this image's: the bootloader beside the application it starts. An empty
    // string, or the overlap; the image is then unchanged.
    std::string add(const ElfImage& other, const std::string& prefix);

    const std::vector<Segment>& segments() const { return segments_; }
    // The function holding `address`, or "?".
    std::string functionAt(uint32_t address) const;
    // The address of a named symbol, or 0.
    uint32_t addressOf(const std::string& name) const;
    // The address of a function by its plain name (a C function, or a C++ one of any parameters, free or in
    // a file's unnamed namespace), or 0.
    uint32_t functionNamed(const std::string& name) const;

private:
    std::string parseSymbols(std::span<const uint8_t> file);

    std::vector<Segment> segments_;
    std::vector<Symbol> symbols_;  // sorted by address
};

}  // namespace emu
