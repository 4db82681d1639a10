// The emulated core against Unicorn and QEMU (mps2-an386) on the compiled DSP and FPU program, in CPU
// seconds of this process or of QEMU's: each runs the program once and `repeats` times, and the difference
// is the time of the extra repeats, start-up and translation warm-up left out. Rounds interleave the three
// (the machine's load moves in between); medians are printed, and the ratios.
// usage: emu_compare_bench [REPEATS [ROUNDS]]
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "platform/emu/core.hpp"
#include "tests/emu/test_chip.hpp"
#include "tests/emu/unicorn_image.hpp"

extern char** environ;

namespace {

const std::string kProgram = std::string(EMU_PROGRAMS_DIR) + "/dsp_fpu.elf";
const std::string kBoardProgram = std::string(EMU_PROGRAMS_DIR) + "/dsp_fpu_mps2.elf";

double cpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Run {
    double seconds = 0;
    uint64_t instructions = 0;
    bool ok = false;
};

Run onCore(const emu::ElfImage& image, uint32_t repeats)
{
    emu_test::TestChip chip;
    emu::Core core(chip, chip);
    Run run;
    if (!core.load(image).empty()) {
        return run;
    }
    std::memcpy(&core.ram()[image.addressOf("repeats") - emu::kRamBase], &repeats, 4);
    const double start = cpuSeconds();
    const emu::Stop stop = core.run(UINT64_MAX / 2);
    run.seconds = cpuSeconds() - start;
    uint32_t mismatches = 1;
    std::memcpy(&mismatches, &core.ram()[image.addressOf("mismatches") - emu::kRamBase], 4);
    run.ok = stop == emu::Stop::Breakpoint && mismatches == 0;
    run.instructions = core.instructions();
    return run;
}

Run inUnicorn(const emu::ElfImage& image, uint32_t repeats)
{
    emu_test::ImageInUnicorn unicorn(image, false);
    std::memcpy(&unicorn.ram[image.addressOf("repeats") - emu::kRamBase], &repeats, 4);
    Run run;
    const double start = cpuSeconds();
    unicorn.run(0, image.addressOf("done"));
    run.seconds = cpuSeconds() - start;
    uint32_t mismatches = 1;
    std::memcpy(&mismatches, &unicorn.ram[image.addressOf("mismatches") - emu::kRamBase], 4);
    run.ok = mismatches == 0;
    return run;
}

// QEMU's user and system time; its exit status is the program's verdict (semihosting SYS_EXIT).
Run inQemu(const emu::ElfImage& board, uint32_t repeats)
{
    char loader[96];
    std::snprintf(loader, sizeof loader, "loader,addr=0x%x,data=%u,data-len=4", board.addressOf("repeats"), repeats);
    std::vector<std::string> args{"qemu-system-arm", "-M", "mps2-an386", "-nographic", "-semihosting",
                                  "-monitor", "none", "-kernel", kBoardProgram, "-device", loader};
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    Run run;
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        return run;
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) {
        return run;
    }
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; };
    run.seconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::string loadAverage()
{
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

}  // namespace

int main(int argc, char** argv)
{
    const uint32_t repeats = argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 200U;
    const unsigned rounds = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 3U;
    emu::ElfImage image, board;
    if (!image.loadFile(kProgram).empty() || !board.loadFile(kBoardProgram).empty() || repeats < 2 || rounds == 0) {
        std::fprintf(stderr, "usage: emu_compare_bench [REPEATS >= 2 [ROUNDS]] (programs in %s)\n", EMU_PROGRAMS_DIR);
        return 2;
    }
    std::printf("load average before: %s\n", loadAverage().c_str());
    const Run once = onCore(image, 1);
    const Run many = onCore(image, repeats);
    const double instructions = static_cast<double>(many.instructions - once.instructions);
    std::vector<double> core, unicorn, qemu;
    bool ok = once.ok && many.ok;
    for (unsigned r = 0; r < rounds; ++r) {
        const auto timed = [&](auto runner, const emu::ElfImage& program, std::vector<double>& into) {
            const Run a = runner(program, 1);
            const Run b = runner(program, repeats);
            ok = ok && a.ok && b.ok;
            into.push_back(b.seconds - a.seconds);
        };
        timed(onCore, image, core);
        timed(inUnicorn, image, unicorn);
        timed(inQemu, board, qemu);
    }
    std::printf("dsp_fpu, %u repeats of %.0f instructions, median CPU seconds of %u rounds\n", repeats - 1,
                instructions / (repeats - 1), rounds);
    const double ours = median(core);
    for (const auto& [name, times] : {std::pair{"emulated core", core}, std::pair{"Unicorn 2", unicorn},
                                      std::pair{"QEMU mps2-an386", qemu}}) {
        const double t = median(times);
        std::printf("  %-16s %7.3f s  %7.1f M instructions/s  ours at %.2fx its speed\n", name, t, instructions / t * 1e-6, t / ours);
    }
    std::printf("load average after: %s\n", loadAverage().c_str());
    if (!ok) {
        std::printf("a run did not end with the program's own result\n");
        return 1;
    }
    return 0;
}
