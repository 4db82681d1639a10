// endpoint-sitl: the node's firmware on the simulated chip, driven by a script of frames, or live.
//
//   endpoint-sitl [--replay FILE] [--out FILE] [--until SECONDS] [--flash FILE] [--trace FILE] [--vcd FILE]
//                 [--vcd-timescale STEP] [--console FILE] [--uid W0,W1,W2] [--disconnect canN[@FROM:TO]]...
//                 [--param NAME=VALUE]... [--hang SECONDS] [--stuck-dominant canN[@FROM:TO]]...
//   endpoint-sitl --live [--can1 URL] [--can2 URL] [--can3 URL] [--quiet] [--out ...] (as above, no script)
//
// Virtual time starts at the simulated reset; the same inputs give the same outputs, byte for byte.
// With --live it is paced by the wall clock and the buses are reached from outside (docs/sitl.md).
// The command line is checked whole before anything runs; the output files are written as things happen.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "firmware/board/System_Config.hpp"
#include "firmware/board/app_descriptor.hpp"
#include "firmware/drivers/NVM.hpp"
#include "firmware/drivers/eeprom.hpp"
#include "platform/sim/sim.hpp"
#include "platform/sim/sim_flash.hpp"
#include "sitl/backend.hpp"
#include "sitl/candump.hpp"
#include "sitl/command_latency.hpp"
#include "sitl/image_runner.hpp"
#include "sitl/live.hpp"
#include "sitl/node_runner.hpp"
#include "sitl/file_server.hpp"
#include "sitl/param_option.hpp"
#include "sitl/status_line.hpp"
#include "sitl/trace.hpp"
#include "sitl/vcd.hpp"

namespace {

constexpr uint64_t kNsPerUs = 1000;
constexpr uint64_t kDefaultRunUs = 5000000;
constexpr uint64_t kAfterLastFrameUs = 1000000;
// A replay runs in slices this long, so that the outputs follow it and a signal stops it in time.
constexpr uint64_t kReplaySliceNs = 10000000;
// By then the node has started (the image included) and opened its store, a format's two sector erases
// (a second each) included.
constexpr uint64_t kStartUpNs = 2100000000;
constexpr uint32_t kDefaultUid[3] = {0x00360028U, 0x3138510BU, 0x32383730U};

struct Options {
    std::string replay;
    std::string out;
    std::string flash;
    std::string trace;
    std::string console;
    std::string vcd;
    uint64_t vcd_step_ns = sitl::kVcdStepNs;
    std::string elf;
    std::string boot;
    std::string file_server;  // a directory
    std::string profile;
    std::string profile_functions;
    bool until_given = false;
    uint64_t until_us = kDefaultRunUs;
    uint32_t uid[3] = {kDefaultUid[0], kDefaultUid[1], kDefaultUid[2]};
    struct Outage {
        unsigned port;
        uint64_t from_us;
        uint64_t to_us;  // UINT64_MAX: the whole run
    };
    std::vector<Outage> outages;
    std::vector<Outage> stuck;  // the controller's receive line held dominant
    bool live = false;
    bool quiet = false;
    std::string bus_url[3];
    std::vector<sitl::ParamWrite> params;
    uint64_t hang_us = UINT64_MAX;
};

constexpr const char* kUsage =
    "usage: endpoint-sitl [--replay FILE] [--out FILE] [--until SECONDS] [--flash FILE]\n"
    "                     [--trace FILE] [--vcd FILE [--vcd-timescale STEP]] [--console FILE]\n"
    "                     [--uid W0,W1,W2] [--disconnect canN[@FROM:TO]]...\n"
    "                     [--elf IMAGE [--boot BOOTLOADER] [--profile-functions FILE]] [--profile FILE]\n"
    "                     [--param NAME=VALUE]... [--hang SECONDS] [--stuck-dominant canN[@FROM:TO]]...\n"
    "                     [--file-server DIR]\n"
    "       endpoint-sitl --live [--can1 URL] [--can2 URL] [--can3 URL] [--quiet] [--until SECONDS]\n"
    "                     [--flash FILE] [--out FILE] [--trace FILE] [--vcd FILE [--vcd-timescale STEP]]\n"
    "                     [--console FILE] [--uid W0,W1,W2] [--param NAME=VALUE]...\n"
    "                     [--elf IMAGE [--boot BOOTLOADER] [--profile-functions FILE]] [--profile FILE]\n"
    "                     [--hang SECONDS] [--file-server DIR]\n"
    "       endpoint-sitl -h | --help | --version\n"
    "  --flash F    the data flash in F: a new file, or one of exactly 262144 bytes from an earlier run; with\n"
    "               --boot a new file holds the application's sectors too (917504 bytes), so an update lasts\n"
    "  --out F, --trace F, --console F  frames sent, output changes, serial console, written as they happen\n"
    "  --vcd F      the PWM pins (pwm0..pwm5, as pulse trains), LEDs and transceiver enables as a VCD file\n"
    "  --vcd-timescale STEP  the VCD's time step: 1us (the default: 1 MHz in sample-based viewers), 100ns,\n"
    "               10ns or 1ns\n"
    "  --elf IMAGE  run the chip image itself (endpoint.elf) on the emulated Cortex-M4 instead of the\n"
    "               firmware built into this program\n"
    "  --boot B     with --elf: the bootloader's image (bootloader.elf) in the same flash, started first\n"
    "  --file-server DIR  a file server (node 126 on every bus) answering file.Read with the files under\n"
    "               DIR, for the bootloader's updates; live too, for a tool that has no file server\n"
    "  --profile F  write what the run cost as name,value lines (with --elf: instructions, cycles, pass\n"
    "               and interrupt cycles, stack depths), the receive overflows, emulated and wall seconds;\n"
    "               live, each bus's frames in and out and what it dropped\n"
    "  --profile-functions F  with --elf: the image's cycles by function, as function,cycles,percent lines\n"
    "  --live       real time, the buses reached from outside, until SIGINT or SIGTERM (docs/sitl.md)\n"
    "  --quiet      live, no status line (there is none either when stdout is not a terminal)\n"
    "  --hang S     from S seconds of virtual time the firmware's main loop makes no progress while\n"
    "               interrupts go on, as a hung task would, until the chip resets (the watchdog)\n"
    "  --stuck-dominant canN[@FROM:TO]  the node's receive line of bus N held dominant (for the whole run,\n"
    "               or from FROM to TO seconds), through resets: its controller cannot join that bus\n"
    "  URL: mcast:N (default mcast:0, mcast:1, mcast:2), slcan:pty, slcan:pty:PATH, socketcan:IFACE, none\n";

[[noreturn]] void usage(const std::string& problem)
{
    std::cerr << "endpoint-sitl: " << problem << "\n" << kUsage;
    std::exit(2);
}

bool parseSeconds(const std::string& text, uint64_t* us)
{
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !(seconds >= 0.0) || seconds > 1e9) {
        return false;
    }
    *us = static_cast<uint64_t>(std::llround(seconds * 1e6));
    return true;
}

// canN for the whole run, canN@FROM:TO (seconds) for a while.
Options::Outage parseBusWindow(const std::string& option, const std::string& text)
{
    const std::size_t at = text.find('@');
    const std::string bus = text.substr(0, at);
    if (bus.size() != 4 || bus.compare(0, 3, "can") != 0 || bus[3] < '0' || bus[3] > '2') {
        usage(option + " takes can0, can1 or can2, optionally @FROM:TO in seconds");
    }
    Options::Outage window{static_cast<unsigned>(bus[3] - '0'), 0, UINT64_MAX};
    if (at != std::string::npos) {
        const std::string times = text.substr(at + 1);
        const std::size_t colon = times.find(':');
        if (colon == std::string::npos || !parseSeconds(times.substr(0, colon), &window.from_us) ||
            !parseSeconds(times.substr(colon + 1), &window.to_us) || window.to_us <= window.from_us) {
            usage(option + " " + bus + "@FROM:TO takes seconds with FROM before TO");
        }
    }
    return window;
}

bool parseUid(const std::string& text, uint32_t out[3])
{
    std::istringstream in(text);
    std::string word;
    for (int i = 0; i < 3; ++i) {
        if (!std::getline(in, word, ',') || word.empty()) {
            return false;
        }
        char* end = nullptr;
        const unsigned long v = std::strtoul(word.c_str(), &end, 16);
        if (*end != '\0' || v > 0xFFFFFFFFUL) {
            return false;
        }
        out[i] = static_cast<uint32_t>(v);
    }
    return !std::getline(in, word, ',');
}

void printVersion()
{
    std::cout << "endpoint-sitl: firmware " << unsigned{APP_VERSION_MAJOR} << "." << unsigned{APP_VERSION_MINOR}
              << ", commit " << std::hex << std::setw(8) << std::setfill('0') << appDescriptorVcsCommit()
              << ((AppInfo.flags & FlagDirtyBuild) != 0 ? " with uncommitted changes" : "") << "\n";
}

Options parseOptions(int argc, char** argv)
{
    Options o;
    std::set<std::string> seen;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                usage(arg + " needs a value");
            }
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            std::exit(EXIT_SUCCESS);
        }
        if (arg == "--version") {
            printVersion();
            std::exit(EXIT_SUCCESS);
        }
        // Only these add up; any other option given twice would silently lose one of its values.
        if (arg != "--disconnect" && arg != "--stuck-dominant" && arg != "--param" && !seen.insert(arg).second) {
            usage(arg + " is given twice");
        }
        if (arg == "--replay") {
            o.replay = value();
        } else if (arg == "--out") {
            o.out = value();
        } else if (arg == "--until") {
            if (!parseSeconds(value(), &o.until_us)) {
                usage("--until takes seconds");
            }
            o.until_given = true;
        } else if (arg == "--flash") {
            o.flash = value();
        } else if (arg == "--trace") {
            o.trace = value();
        } else if (arg == "--console") {
            o.console = value();
        } else if (arg == "--vcd") {
            o.vcd = value();
        } else if (arg == "--vcd-timescale") {
            o.vcd_step_ns = sitl::vcdStepNs(value());
            if (o.vcd_step_ns == 0) {
                usage("--vcd-timescale takes 1us, 100ns, 10ns or 1ns");
            }
        } else if (arg == "--elf") {
            o.elf = value();
        } else if (arg == "--boot") {
            o.boot = value();
        } else if (arg == "--file-server") {
            o.file_server = value();
        } else if (arg == "--profile") {
            o.profile = value();
        } else if (arg == "--profile-functions") {
            o.profile_functions = value();
        } else if (arg == "--uid") {
            if (!parseUid(value(), o.uid)) {
                usage("--uid takes three hex words W0,W1,W2");
            }
        } else if (arg == "--disconnect") {
            o.outages.push_back(parseBusWindow(arg, value()));
        } else if (arg == "--stuck-dominant") {
            o.stuck.push_back(parseBusWindow(arg, value()));
        } else if (arg == "--live") {
            o.live = true;
        } else if (arg == "--quiet") {
            o.quiet = true;
        } else if (arg == "--can1" || arg == "--can2" || arg == "--can3") {
            o.bus_url[arg[5] - '1'] = value();
        } else if (arg == "--hang") {
            if (!parseSeconds(value(), &o.hang_us)) {
                usage("--hang takes seconds");
            }
        } else if (arg == "--param") {
            sitl::ParamWrite write{};
            std::string error;
            if (!sitl::parseParamWrite(value(), &write, &error)) {
                usage(error);
            }
            o.params.push_back(write);
        } else {
            usage("unknown argument " + arg);
        }
    }
    if (o.live && !o.replay.empty()) {
        usage("--replay runs in virtual time only; leave out --live");
    }
    if (!o.boot.empty() && o.elf.empty()) {
        usage("--boot starts the application image: it needs --elf");
    }
    if (!o.profile_functions.empty() && o.elf.empty()) {
        usage("--profile-functions counts the image's cycles: it needs --elf");
    }
    if (o.live && !o.outages.empty()) {
        usage("--disconnect is for replays; live, a bus with nobody on it is --can" +
              std::to_string(o.outages.front().port + 1) + " none");
    }
    if (o.live && !o.stuck.empty()) {
        usage("--stuck-dominant is for replays: leave out --live");
    }
    for (unsigned port = 0; port < 3; ++port) {
        if (!o.live && !o.bus_url[port].empty()) {
            usage("--can" + std::to_string(port + 1) + " needs --live");
        }
        if (o.live && o.bus_url[port].empty()) {
            o.bus_url[port] = "mcast:" + std::to_string(port);
        }
    }
    // Two buses on one back-end would be one bus; every slcan:pty is a terminal of its own.
    for (unsigned port = 0; port < 3; ++port) {
        for (unsigned other = port + 1; other < 3; ++other) {
            const std::string& url = o.bus_url[port];
            if (!url.empty() && url != "none" && url != "slcan:pty" && url == o.bus_url[other]) {
                usage("--can" + std::to_string(port + 1) + " and --can" + std::to_string(other + 1) + " are both " +
                      url + ": give each bus its own");
            }
        }
    }
    if (o.vcd.empty() && o.vcd_step_ns != sitl::kVcdStepNs) {
        usage("--vcd-timescale sets the step of --vcd: it needs --vcd");
    }
    if (o.quiet && !o.live) {
        usage("--quiet silences the live status line: it needs --live");
    }
    return o;
}

// The files a run writes, by option, in the order they are checked.
std::vector<std::pair<std::string, std::string>> outputFiles(const Options& o)
{
    std::vector<std::pair<std::string, std::string>> files;
    for (const auto& [option, path] : {std::pair<const char*, const std::string&>{"--out", o.out},
                                       {"--trace", o.trace},
                                       {"--vcd", o.vcd},
                                       {"--console", o.console},
                                       {"--profile", o.profile},
                                       {"--profile-functions", o.profile_functions}}) {
        if (!path.empty()) {
            files.emplace_back(option, path);
        }
    }
    return files;
}

// Where a file that does not exist yet would be created: through dangling symlinks (as opening it for
// writing goes) to the path it resolves to.
std::filesystem::path newFilePath(std::filesystem::path path)
{
    constexpr int kMaxLinks = 40;  // as the kernel's loop limit
    std::error_code error;
    for (int links = 0; links < kMaxLinks && std::filesystem::is_symlink(std::filesystem::symlink_status(path, error));
         ++links) {
        const std::filesystem::path target = std::filesystem::read_symlink(path, error);
        if (error) {
            break;
        }
        path = target.is_absolute() ? target : path.parent_path() / target;
    }
    const std::filesystem::path resolved = std::filesystem::weakly_canonical(path, error);
    return error ? path : resolved;
}

// One file for two options: the same device and inode where the file exists (a hard link or a symlink
// is the same file under another name), the same path where it does not yet. A device such as /dev/null
// may take several outputs.
bool sameFile(const std::string& a, const std::string& b)
{
    struct stat sa {};
    struct stat sb {};
    const bool a_exists = ::stat(a.c_str(), &sa) == 0;
    const bool b_exists = ::stat(b.c_str(), &sb) == 0;
    if (a_exists != b_exists) {
        return false;
    }
    if (a_exists) {
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino && S_ISREG(sa.st_mode);
    }
    return newFilePath(a) == newFilePath(b);
}

// No file is both read and written, or written twice: one would overwrite the other.
void checkDistinctFiles(const Options& o)
{
    std::vector<std::pair<std::string, std::string>> files = outputFiles(o);
    if (!o.replay.empty()) {
        files.emplace_back("--replay", o.replay);
    }
    if (!o.flash.empty()) {
        files.emplace_back("--flash", o.flash);
    }
    if (!o.elf.empty()) {
        files.emplace_back("--elf", o.elf);
    }
    if (!o.boot.empty()) {
        files.emplace_back("--boot", o.boot);
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        for (std::size_t j = i + 1; j < files.size(); ++j) {
            if (sameFile(files[i].second, files[j].second)) {
                usage(files[i].first + " " + files[i].second + " and " + files[j].first + " " + files[j].second +
                      " name the same file");
            }
        }
    }
}

// A flash file is new (created blank) or exactly the store's two sectors from an earlier run; anything
// else (an image given by mistake, a store cut or padded) is left as it is.
void checkFlashFile(const std::string& path)
{
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (status.type() == std::filesystem::file_type::not_found) {
        return;
    }
    if (status.type() != std::filesystem::file_type::regular) {
        usage("--flash " + path + ": not a regular file");
    }
    const auto size = std::filesystem::file_size(path, error);
    if (error || (size != FLASH_DATA_SIZE && size != FLASH_APP_SIZE + FLASH_DATA_SIZE)) {
        usage("--flash " + path + ": " + (error ? error.message() : std::to_string(size) + " bytes") +
              "; a flash file is " + std::to_string(FLASH_DATA_SIZE) + " bytes (the data sectors), " +
              std::to_string(FLASH_APP_SIZE + FLASH_DATA_SIZE) +
              " (the application's sectors too) or does not exist yet. It was left as it is");
    }
    if (::access(path.c_str(), R_OK | W_OK) != 0) {
        usage("--flash " + path + ": " + std::strerror(errno));
    }
}

// An empty file is a scenario without frames, as one of comments only is: the node runs alone.
std::string readScript(const std::string& path)
{
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        usage("--replay " + path + ": " + (error ? error.message() : "not a regular file"));
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        usage("--replay " + path + ": cannot read it: " + std::strerror(errno));
    }
    // In one piece: a replay at full load is tens of megabytes, which a character iterator reads slowly.
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Whether an output just opened takes a byte (a full disk or /dev/full opens but takes none): 0, or the
// errno of the failed write. Tried where no reader sees the byte: a regular file, emptied again, or a
// device that is not a terminal; a pipe, a socket or a terminal is taken as it is.
int writeProbe(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return errno;
    }
    if (!S_ISREG(st.st_mode) && !S_ISCHR(st.st_mode)) {
        return 0;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    int result = 0;
    if (S_ISREG(st.st_mode) || ::isatty(fd) == 0) {
        result = ::write(fd, "\n", 1) == 1 ? 0 : errno;
        if (S_ISREG(st.st_mode) && ::ftruncate(fd, 0) != 0 && result == 0) {
            result = errno;
        }
    }
    ::close(fd);
    return result;
}

// Each output file, created (or emptied) before the run, so that one that cannot be written is said at
// once and not after a whole session.
struct OutputFiles {
    std::map<std::string, std::ofstream> byOption;

    explicit OutputFiles(const Options& o)
    {
        for (const auto& [option, path] : outputFiles(o)) {
            std::ofstream& file = byOption[option];
            file.open(path, std::ios::binary | std::ios::trunc);
            if (!file) {
                usage(std::string(option).append(" ").append(path).append(": cannot create it: ").append(
                    std::strerror(errno)));
            }
            if (const int error = writeProbe(path); error != 0) {
                usage(std::string(option).append(" ").append(path).append(": cannot write to it: ").append(
                    std::strerror(error)));
            }
        }
    }
    std::ofstream* get(const std::string& option)
    {
        const auto it = byOption.find(option);
        return it == byOption.end() ? nullptr : &it->second;
    }
    // False, with the reason on stderr, if any of them could not be written in full.
    bool close(const Options& o)
    {
        bool ok = true;
        for (const auto& [option, path] : outputFiles(o)) {
            std::ofstream& file = byOption[option];
            file.close();
            if (!file) {
                std::cerr << "endpoint-sitl: cannot write " << path << "\n";
                ok = false;
            }
        }
        return ok;
    }
};

// --out: every frame the node's controllers sent and someone acknowledged, a line as each ends.
void streamTransmittedFrames(std::ofstream* out)
{
    for (unsigned port = 0; port < 3; ++port) {
        sim::canBus(port).setRecordObserver([out, port](const sim::CanBusRecord& record) {
            if (record.sender >= 0 && record.acknowledged) {
                *out << sitl::formatCandump({record.endNs / kNsPerUs, port, record.frame}) << '\n' << std::flush;
            }
        });
    }
}

// What the firmware does with the flash file at start: a store it cannot read is formatted (both sectors
// erased), as on the chip. The user hears of it, once.
class StoreWatch {
public:
    explicit StoreWatch(std::string path)
        : path_(std::move(path)),
          blank_(sim::flashErased(FLASH_DATA_START, FLASH_DATA_SIZE)),
          erases_{sim::flashEraseCount(10), sim::flashEraseCount(11)}
    {
        // A store of another layout reads whole, and the start-up wipes it without erasing both pages.
        uint16_t format = EEFORMAT;
        if (!path_.empty() && EE_ReadVariable(NVM_Format + 1U, &format) == 0U && format != EEFORMAT) {
            otherLayout_ = format;
        }
    }
    void check()
    {
        if (checked_ || path_.empty()) {
            return;
        }
        checked_ = true;
        if (otherLayout_ >= 0) {
            std::cerr << "endpoint-sitl: the store in " << path_ << " has another layout (FORMATID " << otherLayout_
                      << ") and was formatted: every parameter is back to its compiled-in value\n";
        } else if (!blank_ && sim::flashEraseCount(10) != erases_[0] && sim::flashEraseCount(11) != erases_[1]) {
            std::cerr << "endpoint-sitl: the store in " << path_
                      << " could not be read and was formatted: every parameter is back to its compiled-in value\n";
        }
    }

private:
    std::string path_;
    bool blank_;
    uint32_t erases_[2];
    int otherLayout_ = -1;  // the FORMATID of a store of another layout
    bool checked_ = false;
};

volatile std::sig_atomic_t g_stopReplay = 0;

void onStopSignal(int) { g_stopReplay = 1; }

// Everything that follows the run: called after each slice of virtual time.
struct Followers {
    StoreWatch* store;
    std::ofstream* console;
    std::size_t consoleWritten = 0;
    sitl::Vcd* vcd;
    sitl::StatusLine* status;

    void catchUp()
    {
        if (sim::nowNs() >= kStartUpNs) {
            store->check();
        }
        if (console != nullptr) {
            const std::string& sent = sim::usart2Sent();
            if (sent.size() > consoleWritten) {
                console->write(sent.data() + consoleWritten, static_cast<std::streamsize>(sent.size() - consoleWritten));
                console->flush();
                consoleWritten = sent.size();
            }
        }
        if (vcd != nullptr) {
            vcd->advanceTo(sim::nowNs());
        }
        if (status != nullptr) {
            status->refresh();
        }
    }
};

// Whether one of the windows covers bus `port` at time t_us.
bool covered(const std::vector<Options::Outage>& windows, unsigned port, uint64_t t_us)
{
    return std::any_of(windows.begin(), windows.end(), [&](const Options::Outage& o) {
        return o.port == port && o.from_us <= t_us && t_us < o.to_us;
    });
}

// Each bus connected at time t_us unless one of its outages covers it; each receive line stuck while one
// of its windows does.
void applyBusFaults(const Options& options, uint64_t t_us)
{
    for (unsigned port = 0; port < 3; ++port) {
        sim::canBus(port).setConnected(!covered(options.outages, port, t_us));
        sim::canSetRxStuckDominant(port, covered(options.stuck, port, t_us));
    }
}

// Runs to until_us from one edge of a fault window to the next, changing the buses there; a SIGINT or
// SIGTERM ends it early, and what ran is written out as after a whole run.
bool replayWithFaults(const Options& options, uint64_t until_us, const sitl::RunUntil& runUntil)
{
    (void)std::signal(SIGINT, onStopSignal);
    (void)std::signal(SIGTERM, onStopSignal);
    std::vector<uint64_t> edges = {0, until_us};
    for (const std::vector<Options::Outage>* windows : {&options.outages, &options.stuck}) {
        for (const Options::Outage& window : *windows) {
            edges.push_back(std::min(window.from_us, until_us));
            edges.push_back(std::min(window.to_us, until_us));
        }
    }
    std::sort(edges.begin(), edges.end());
    edges.erase(std::unique(edges.begin(), edges.end()), edges.end());
    for (const uint64_t edge : edges) {
        while (sim::nowNs() < edge * kNsPerUs) {
            if (g_stopReplay != 0) {
                std::cerr << "endpoint-sitl: stopped by a signal at " << sim::nowUs() << " us\n";
                return true;
            }
            if (!runUntil(std::min(edge * kNsPerUs, sim::nowNs() + kReplaySliceNs))) {
                return false;
            }
        }
        applyBusFaults(options, edge);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    const Options options = parseOptions(argc, argv);

    // Every check before anything runs or any file changes.
    checkDistinctFiles(options);
    std::vector<sitl::LoggedFrame> script;
    if (!options.replay.empty()) {
        std::string error;
        if (!sitl::parseScript(readScript(options.replay), &script, &error)) {
            usage(options.replay + ": " + error);
        }
    }
    for (const auto& [option, file] : {std::pair{"--elf", options.elf}, std::pair{"--boot", options.boot}}) {
        if (!file.empty() && !std::filesystem::is_regular_file(file)) {
            usage(std::string(option) + " " + file + ": not a readable file");
        }
    }
    if (!options.flash.empty()) {
        checkFlashFile(options.flash);
    }
    OutputFiles files(options);

    uint64_t until_us = options.live && !options.until_given ? UINT64_MAX / kNsPerUs : options.until_us;
    if (!options.until_given && !script.empty()) {
        until_us = script.back().time_us + kAfterLastFrameUs;
    }

    sim::reset();
    sim::setUniqueId(options.uid[0], options.uid[1], options.uid[2]);
    // The flash file is written through as the node writes, so a second run is a power cycle.
    // With the bootloader a new file holds the application's sectors too, so that an update lasts.
    if (!options.flash.empty() && !sim::flashUseFile(options.flash, !options.boot.empty())) {
        usage("--flash " + options.flash + ": cannot create it: " + std::strerror(errno));
    }
    // Without --flash the node finds a formatted, empty store, as a node has after its first start: a
    // blank one would stall its first two seconds for the format's erases. A new --flash file starts blank.
    if (options.flash.empty()) {
        InitNVM();
    }
    StoreWatch store(options.flash);
    sitl::applyParamWrites(options.params);
    sim::reset();  // the store's preparation is not the node's time
    sitl::Trace trace(files.get("--trace"));
    std::unique_ptr<sitl::Vcd> vcd;
    if (files.get("--vcd") != nullptr) {
        vcd = std::make_unique<sitl::Vcd>(files.get("--vcd"), options.vcd_step_ns);
    }
    if (files.get("--out") != nullptr) {
        streamTransmittedFrames(files.get("--out"));
    }

    // The other side of each bus: live, whatever tool the user attaches; else the tool replaying the
    // script. Either acknowledges the node.
    std::vector<std::unique_ptr<sitl::Backend>> backends;
    std::vector<std::unique_ptr<sim::CanPeer>> tools;
    for (unsigned port = 0; port < 3; ++port) {
        if (!options.live) {
            tools.push_back(std::make_unique<sim::CanPeer>(port));
        } else if (options.bus_url[port] != "none") {
            std::string error;
            std::unique_ptr<sitl::Backend> backend = sitl::openBackend(options.bus_url[port], &error);
            if (!backend) {
                backends.clear();  // an SLCAN symlink made for an earlier bus goes again
                usage("--can" + std::to_string(port + 1) + " " + error);
            }
            backend->attach(port);
            backends.push_back(std::move(backend));
        }
    }
    for (const auto& f : script) {
        tools[f.port]->sendAt(f.time_us * kNsPerUs, f.frame);
    }
    std::vector<std::unique_ptr<sitl::FileServer>> file_servers;
    if (!options.file_server.empty()) {
        if (!std::filesystem::is_directory(options.file_server)) {
            usage("--file-server " + options.file_server + ": not a directory");
        }
        for (unsigned port = 0; port < 3; ++port) {
            file_servers.push_back(std::make_unique<sitl::FileServer>(port, options.file_server));
        }
    }
    applyBusFaults(options, 0);
    std::unique_ptr<sitl::StatusLine> status;
    if (options.live && !options.quiet && ::isatty(STDOUT_FILENO) != 0) {
        status = std::make_unique<sitl::StatusLine>(backends, stdout);
    }
    Followers followers{&store, files.get("--console"), 0, vcd.get(), status.get()};

    // How the firmware runs (built in, or the image on the emulated core) is one thing; how fast virtual
    // time goes (as fast as it can, or paced by the wall clock) another.
    const auto wall_start = std::chrono::steady_clock::now();
    const sitl::CommandLatency latency;
    std::unique_ptr<sitl::ImageNode> image;
    sitl::RunUntil runFirmware = [](uint64_t t_ns) {
        sitl::runUntilNs(t_ns);
        return true;  // the built-in firmware's fatal stops end the process
    };
    const uint64_t hang_ns = options.hang_us == UINT64_MAX ? UINT64_MAX : options.hang_us * kNsPerUs;
    if (options.elf.empty()) {
        sitl::powerOn();
        sitl::hangFromNs(hang_ns);
    } else {
        image = std::make_unique<sitl::ImageNode>();
        const std::string error = image->powerOn(options.elf, options.boot);
        if (!error.empty()) {
            usage(error);
        }
        image->hangFromNs(hang_ns);
        if (!options.profile_functions.empty()) {
            image->countCyclesByFunction();
        }
        runFirmware = [&image](uint64_t t_ns) { return image->runUntilNs(t_ns); };
    }
    const sitl::RunUntil runUntil = [&](uint64_t t_ns) {
        const bool running = runFirmware(t_ns);
        followers.catchUp();
        return running;
    };
    const bool ran = options.live ? sitl::runLive(backends, until_us * kNsPerUs, runUntil)
                                  : replayWithFaults(options, until_us, runUntil);
    store.check();
    status.reset();
    if (!ran) {  // only the image stops without ending the process
        std::cerr << "endpoint-sitl: the image stopped\n" << image->report();
        return EXIT_FAILURE;
    }

    sitl::Profile profile;
    if (image) {
        image->profile(&profile);
    } else {
        sitl::profile(&profile);
    }
    profile.add("cmd_to_compare_us_p99", latency.percentileNs(99) / kNsPerUs);
    profile.add("cmd_to_compare_us_max", latency.maxNs() / kNsPerUs);
    profile.add("emulated_seconds", static_cast<double>(sim::nowNs()) / 1e9);
    profile.add("wall_seconds",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count());
    for (const auto& b : backends) {
        std::cerr << "endpoint-sitl: " << b->summary() << "\n";
        b->profile(&profile);
    }
    if (files.get("--profile") != nullptr) {
        *files.get("--profile") << profile.text();
    }
    if (files.get("--profile-functions") != nullptr) {
        *files.get("--profile-functions") << image->functionProfile();
    }
    return files.close(options) ? 0 : EXIT_FAILURE;
}
