#include "platform/emu/fault_report.hpp"

#include <cstdarg>
#include <cstdio>

namespace emu {

namespace {

void append(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style on purpose; the format attribute has the compiler check it
void append(std::string& out, const char* format, ...)
{
    char line[160];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    out += line;
}

}  // namespace

std::string hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

std::string FaultReport::text() const
{
    std::string out = what + "\n";
    append(out, "pc 0x%08x in %s\n", pc, function.c_str());
    for (unsigned i = 0; i < r.size(); ++i) {
        append(out, "r%-2u 0x%08x%s", i, r[i], i % 4 == 3 ? "\n" : "  ");
    }
    append(out, "xpsr 0x%08x  msp 0x%08x  psp 0x%08x  control 0x%x  primask %u  basepri 0x%02x\n", xpsr, msp,
           psp, control, primask, basepri);
    if (frame) {
        const auto& f = *frame;
        append(out, "in exception %u, stacked: r0 0x%08x r1 0x%08x r2 0x%08x r3 0x%08x r12 0x%08x lr 0x%08x "
                    "return 0x%08x xpsr 0x%08x\n",
               exception, f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7]);
    }
    out += "last instructions:";
    for (uint32_t a : recent) {
        append(out, " 0x%08x", a);
    }
    out += "\n";
    return out;
}

}  // namespace emu
