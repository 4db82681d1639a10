#include "platform/core.hpp"

#include <cstdio>
#include <cstdlib>

[[noreturn]] void coreFatalStop(const char* file, int line)
{
    std::fprintf(stderr, "fatal stop at %s:%d\n", file != nullptr ? file : "?", line);
    std::fflush(stderr);
    std::abort();
}

void coreRelax() {}
