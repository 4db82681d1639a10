// Loading ELF files into the emulated core: what it takes from them, and how it refuses bad ones.
#include <gmock/gmock.h>

#include "tests/emu/emu_fixture.hpp"

namespace emu_test {
namespace {

using ::testing::HasSubstr;
using EmuElf = EmuProgram;

struct TestSegment {
    uint32_t vaddr;
    uint32_t paddr;
    std::vector<uint8_t> bytes;
    uint32_t filesz;  // as the header claims it
};

void put32(std::vector<uint8_t>& f, std::size_t at, uint32_t v)
{
    for (unsigned i = 0; i < 4; ++i) {
        f[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

// An ELF32 ARM executable with the given PT_LOAD segments and no sections.
std::vector<uint8_t> elfWith(const std::vector<TestSegment>& segments)
{
    const std::size_t headers = 52 + 32 * segments.size();
    std::vector<uint8_t> f(headers);
    const uint8_t ident[] = {0x7F, 'E', 'L', 'F', 1, 1, 1};
    std::copy(std::begin(ident), std::end(ident), f.begin());
    f[16] = 2;   // executable
    f[18] = 40;  // ARM
    f[20] = 1;
    put32(f, 28, 52);
    f[40] = 52;
    f[42] = 32;
    f[44] = static_cast<uint8_t>(segments.size());
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const std::size_t ph = 52 + 32 * i;
        put32(f, ph, 1);
        put32(f, ph + 4, static_cast<uint32_t>(f.size()));
        put32(f, ph + 8, segments[i].vaddr);
        put32(f, ph + 12, segments[i].paddr);
        put32(f, ph + 16, segments[i].filesz);
        put32(f, ph + 20, segments[i].filesz);
        f.insert(f.end(), segments[i].bytes.begin(), segments[i].bytes.end());
    }
    return f;
}

std::vector<uint8_t> vectorTable(uint32_t sp, uint32_t reset)
{
    std::vector<uint8_t> t(8);
    put32(t, 0, sp);
    put32(t, 4, reset);
    return t;
}

TestSegment segmentAt(uint32_t address, std::vector<uint8_t> bytes)
{
    const auto size = static_cast<uint32_t>(bytes.size());
    return {address, address, std::move(bytes), size};
}

TEST_F(EmuElf, MalformedFilesAreRefusedWithAMessage)
{
    const std::vector<uint8_t> good = elfWith({segmentAt(0x08000000U, vectorTable(0x20001000U, 0x08000009U))});
    std::vector<uint8_t> notArm = good;
    notArm[18] = 3;
    std::vector<uint8_t> truncated(good.begin(), good.begin() + 60);
    std::vector<uint8_t> manyHeaders = good;
    manyHeaders[44] = 200;
    const std::vector<uint8_t> pastTheEnd = elfWith({{0x08000000U, 0x08000000U, {1, 2, 3, 4}, 400}});
    const std::vector<uint8_t> huge = elfWith({{0x08000000U, 0x08000000U, {1, 2, 3, 4}, 0x200000U}});
    const std::vector<uint8_t> garbage = {'h', 'e', 'l', 'l', 'o'};
    const std::pair<const std::vector<uint8_t>*, const char*> cases[] = {
        {&garbage, "not an ELF file"},
        {&notArm, "not an ARM executable"},
        {&truncated, "program headers missing or outside the file"},
        {&manyHeaders, "program headers missing or outside the file"},
        {&pastTheEnd, "segment at 0x08000000 reaches past the end of the file"},
        {&huge, "segment at 0x08000000 is too large (2097152 bytes)"},
    };
    for (const auto& [file, message] : cases) {
        EXPECT_EQ(image.parse(*file), message);
        EXPECT_TRUE(image.segments().empty());
    }
    EXPECT_THAT(image.loadFile("/nonexistent.elf"), HasSubstr("cannot open"));
    EXPECT_EQ(image.parse(good), "");
}

TEST_F(EmuElf, CoreRefusesImagesWithoutVectorTableOrOutsideMemory)
{
    const std::pair<std::vector<uint8_t>, const char*> cases[] = {
        {elfWith({segmentAt(0x60000000U, {0, 0, 0, 0})}),
         "segment at 0x60000000 (4 bytes) lies outside flash and RAM"},
        {elfWith({segmentAt(0x080FFFFCU, {0, 0, 0, 0, 0, 0, 0, 0})}),
         "segment at 0x080ffffc (8 bytes) lies outside flash and RAM"},
        {elfWith({segmentAt(0x20000000U, vectorTable(0x20001000U, 0x08000009U))}),
         "no vector table: the image puts nothing into flash"},
        {elfWith({segmentAt(0x08000000U, vectorTable(0xFFFFFFFFU, 0x08000009U))}),
         "no vector table at 0x08000000: initial stack pointer 0xffffffff is not an aligned RAM address"},
        {elfWith({segmentAt(0x08000000U, vectorTable(0x20001000U, 0x08000008U))}),
         "no vector table at 0x08000000: reset vector 0x08000008 is not a Thumb address in flash"},
    };
    for (const auto& [file, message] : cases) {
        ASSERT_EQ(image.parse(file), "");
        EXPECT_EQ(core.load(image), message);
    }
}

TEST_F(EmuElf, SegmentsGoToTheirLoadAddressesAndResetUsesTheTable)
{
    // Initialised data: linked for RAM, loaded into flash, copied by the start-up code.
    const std::vector<uint8_t> code = {0x00, 0xBE};  // bkpt #0
    const std::vector<uint8_t> file = elfWith({segmentAt(0x08000000U, vectorTable(0x20001000U, 0x08000009U)),
                                               segmentAt(0x08000008U, code),
                                               {0x20000000U, 0x08000100U, {0xDE, 0xAD}, 2}});
    ASSERT_EQ(image.parse(file), "");
    ASSERT_EQ(core.load(image), "");
    EXPECT_EQ(core.flash()[0x100], 0xDE);
    EXPECT_EQ(core.ram()[0], 0x00);
    ASSERT_EQ(core.run(kPlenty), emu::Stop::Breakpoint);
    EXPECT_EQ(core.report().pc, 0x08000008U);
    EXPECT_EQ(core.msp(), 0x20001000U);
    EXPECT_EQ(core.report().function, "?") << "no symbol table";
    EXPECT_EQ(core.load(image), "an image is loaded already: a power cycle is a new Core");
}

TEST_F(EmuElf, SymbolTableNamesFunctions)
{
    start("faults");
    const uint32_t stopHere = symbol("stop_here");
    EXPECT_EQ(image.functionAt(stopHere), "stop_here");
    EXPECT_EQ(image.functionAt(stopHere + 2U), "stop_here");
    EXPECT_EQ(image.functionAt(0x08000000U), "?") << "the vector table is no function";
    EXPECT_EQ(image.functionNamed("stop_here"), stopHere);
    EXPECT_EQ(image.functionNamed("free"), symbol("_Z4freev"));
    EXPECT_EQ(image.functionNamed("unnamed"), symbol("_ZN12_GLOBAL__N_17unnamedEt"));
    EXPECT_EQ(image.functionNamed("Node::pass"), symbol("_ZN4Node4passEv"));
    EXPECT_EQ(image.functionNamed("Node::health"), symbol("_ZNK4Node6healthEv"));
    EXPECT_EQ(image.functionNamed("unname"), 0U);
    EXPECT_EQ(image.functionNamed("Node::pas"), 0U);
}

}  // namespace
}  // namespace emu_test
