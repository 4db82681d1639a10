#include "sitl/firmware_ram.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

// Bounds set by firmware_ram.ld; weak, so that programs linked without it find them null.
extern "C" {
extern unsigned char __firmware_ram_start[] __attribute__((weak));
extern unsigned char __firmware_ram_end[] __attribute__((weak));
}

namespace sitl {
namespace {

std::vector<unsigned char> as_loaded;

// AddressSanitizer puts a poisoned redzone behind every instrumented variable in the range. The copy
// goes byte by byte through volatile accesses, uninstrumented, so that it neither trips over a redzone
// nor is turned into a (checked) memcpy; the redzones' shadow stays as it is.
__attribute__((no_sanitize_address)) void copyRange(volatile unsigned char* to, const volatile unsigned char* from,
                                                    std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        to[i] = from[i];
    }
}

// The two bounds are separate symbols to the compiler, so the size is taken from their addresses.
std::size_t rangeSize()
{
    const auto start = reinterpret_cast<std::uintptr_t>(__firmware_ram_start);
    const auto end = reinterpret_cast<std::uintptr_t>(__firmware_ram_end);
    return start != 0U && end > start ? static_cast<std::size_t>(end - start) : 0U;
}

}  // namespace

void keepFirmwareRamAsLoaded()
{
    as_loaded.resize(rangeSize());
    copyRange(as_loaded.data(), __firmware_ram_start, as_loaded.size());
}

bool restoreFirmwareRam()
{
    if (as_loaded.empty() || as_loaded.size() != rangeSize()) {
        return false;
    }
    copyRange(__firmware_ram_start, as_loaded.data(), as_loaded.size());
    return true;
}

}  // namespace sitl
