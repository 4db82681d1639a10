// endpoint-sitl: the node's firmware on the simulated chip, driven by a script of frames, or live.
//
//   endpoint-sitl [--replay FILE] [--out FILE] [--until SECONDS] [--flash FILE] [--trace FILE]
//                 [--console FILE] [--uid W0,W1,W2] [--disconnect canN[@FROM:TO]]... [--param NAME=VALUE]...
//   endpoint-sitl --live [--can1 URL] [--can2 URL] [--can3 URL] [--out ...] (as above, no script)
//
// Virtual time starts at the simulated reset; the same inputs give the same outputs, byte for byte.
// With --live it is paced by the wall clock and the buses are reached from outside (docs/sitl.md).

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/sim/sim_flash.hpp"
#include "sitl/backend.hpp"
#include "sitl/candump.hpp"
#include "sitl/command_latency.hpp"
#include "sitl/image_runner.hpp"
#include "sitl/live.hpp"
#include "sitl/node_runner.hpp"
#include "sitl/param_option.hpp"
#include "sitl/trace.hpp"

namespace {

constexpr uint64_t kNsPerUs = 1000;
constexpr uint64_t kDefaultRunUs = 5000000;
constexpr uint64_t kAfterLastFrameUs = 1000000;
constexpr uint32_t kDefaultUid[3] = {0x00360028U, 0x3138510BU, 0x32383730U};

struct Options {
    std::string replay;
    std::string out;
    std::string flash;
    std::string trace;
    std::string console;
    std::string elf;
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
    bool live = false;
    std::string bus_url[3];
    std::vector<sitl::ParamWrite> params;
};

constexpr const char* kUsage =
    "usage: endpoint-sitl [--replay FILE] [--out FILE] [--until SECONDS] [--flash FILE]\n"
    "                     [--trace FILE] [--console FILE] [--uid W0,W1,W2] [--disconnect canN[@FROM:TO]]...\n"
    "                     [--elf IMAGE [--profile-functions FILE]] [--profile FILE] [--param NAME=VALUE]...\n"
    "       endpoint-sitl --live [--can1 URL] [--can2 URL] [--can3 URL] [--until SECONDS] [--flash FILE]\n"
    "                     [--out FILE] [--trace FILE] [--console FILE] [--uid W0,W1,W2] [--param NAME=VALUE]...\n"
    "                     [--elf IMAGE] [--profile FILE]\n"
    "  --elf IMAGE  run the chip image itself (endpoint.elf) on the emulated Cortex-M4 instead of the\n"
    "               firmware built into this program\n"
    "  --profile F  write what the run cost as name,value lines (with --elf: instructions, cycles, pass\n"
    "               and interrupt cycles, stack depths), the receive overflows, emulated and wall seconds;\n"
    "               live, each bus's frames in and out and what it dropped\n"
    "  --profile-functions F  with --elf: the image's cycles by function, as function,cycles,percent lines\n"
    "  --live       real time, the buses reached from outside, until SIGINT or SIGTERM (docs/sitl.md)\n"
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

Options parseOptions(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                usage(arg + " needs a value");
            }
            return argv[++i];
        };
        if (arg == "--help") {
            std::cout << kUsage;
            std::exit(EXIT_SUCCESS);
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
        } else if (arg == "--elf") {
            o.elf = value();
        } else if (arg == "--profile") {
            o.profile = value();
        } else if (arg == "--profile-functions") {
            o.profile_functions = value();
        } else if (arg == "--uid") {
            if (!parseUid(value(), o.uid)) {
                usage("--uid takes three hex words W0,W1,W2");
            }
        } else if (arg == "--disconnect") {
            // canN for the whole run, canN@FROM:TO (seconds) for a while.
            const std::string text = value();
            const std::size_t at = text.find('@');
            const std::string bus = text.substr(0, at);
            if (bus.size() != 4 || bus.compare(0, 3, "can") != 0 || bus[3] < '0' || bus[3] > '2') {
                usage("--disconnect takes can0, can1 or can2, optionally @FROM:TO in seconds");
            }
            Options::Outage outage{static_cast<unsigned>(bus[3] - '0'), 0, UINT64_MAX};
            if (at != std::string::npos) {
                const std::string window = text.substr(at + 1);
                const std::size_t colon = window.find(':');
                if (colon == std::string::npos || !parseSeconds(window.substr(0, colon), &outage.from_us) ||
                    !parseSeconds(window.substr(colon + 1), &outage.to_us) || outage.to_us <= outage.from_us) {
                    usage("--disconnect " + bus + "@FROM:TO takes seconds with FROM before TO");
                }
            }
            o.outages.push_back(outage);
        } else if (arg == "--live") {
            o.live = true;
        } else if (arg == "--can1" || arg == "--can2" || arg == "--can3") {
            o.bus_url[arg[5] - '1'] = value();
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
    if (!o.profile_functions.empty() && o.elf.empty()) {
        usage("--profile-functions counts the image's cycles: it needs --elf");
    }
    if (o.live && !o.outages.empty()) {
        usage("--disconnect is for replays; live, a bus with nobody on it is --can" +
              std::to_string(o.outages.front().port + 1) + " none");
    }
    for (unsigned port = 0; port < 3; ++port) {
        if (!o.live && !o.bus_url[port].empty()) {
            usage("--can" + std::to_string(port + 1) + " needs --live");
        }
        if (o.live && o.bus_url[port].empty()) {
            o.bus_url[port] = "mcast:" + std::to_string(port);
        }
    }
    return o;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        usage("cannot read " + path);
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out) {
        std::cerr << "endpoint-sitl: cannot write " << path << "\n";
        std::exit(EXIT_FAILURE);
    }
}

// --out: every frame the node's controllers sent and someone acknowledged, written as it ends, so that
// a run of any length keeps them all.
void streamTransmittedFrames(std::ofstream* out)
{
    for (unsigned port = 0; port < 3; ++port) {
        sim::canBus(port).setRecordObserver([out, port](const sim::CanBusRecord& record) {
            if (record.sender >= 0 && record.acknowledged) {
                *out << sitl::formatCandump({record.endNs / kNsPerUs, port, record.frame}) << '\n';
            }
        });
    }
}

// Each bus connected at time t_us unless one of its outages covers it.
void connectBuses(const std::vector<Options::Outage>& outages, uint64_t t_us)
{
    for (unsigned port = 0; port < 3; ++port) {
        const bool out = std::any_of(outages.begin(), outages.end(), [&](const Options::Outage& o) {
            return o.port == port && o.from_us <= t_us && t_us < o.to_us;
        });
        sim::canBus(port).setConnected(!out);
    }
}

// Runs to until_us from one edge of an outage to the next, changing the buses there.
bool replayWithOutages(const std::vector<Options::Outage>& outages, uint64_t until_us, const sitl::RunUntil& runUntil)
{
    std::vector<uint64_t> edges = {0, until_us};
    for (const Options::Outage& outage : outages) {
        edges.push_back(std::min(outage.from_us, until_us));
        edges.push_back(std::min(outage.to_us, until_us));
    }
    std::sort(edges.begin(), edges.end());
    edges.erase(std::unique(edges.begin(), edges.end()), edges.end());
    for (const uint64_t edge : edges) {
        if (!runUntil(edge * kNsPerUs)) {
            return false;
        }
        connectBuses(outages, edge);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    const Options options = parseOptions(argc, argv);

    std::vector<sitl::LoggedFrame> script;
    if (!options.replay.empty()) {
        std::string error;
        if (!sitl::parseCandump(readFile(options.replay), &script, &error)) {
            usage(options.replay + ": " + error);
        }
    }
    uint64_t until_us = options.live && !options.until_given ? UINT64_MAX / kNsPerUs : options.until_us;
    if (!options.until_given && !script.empty()) {
        uint64_t last = 0;
        for (const auto& f : script) {
            last = std::max(last, f.time_us);
        }
        until_us = last + kAfterLastFrameUs;
    }

    sim::reset();
    sim::setUniqueId(options.uid[0], options.uid[1], options.uid[2]);
    // The flash file is written through as the node writes, so a second run is a power cycle.
    if (!options.flash.empty() && !sim::flashUseFile(options.flash)) {
        usage("cannot use " + options.flash + " as flash");
    }
    sitl::applyParamWrites(options.params);
    sitl::Trace trace;
    std::ofstream out;
    if (!options.out.empty()) {
        out.open(options.out, std::ios::binary);
        if (!out) {
            usage("cannot write " + options.out);
        }
        streamTransmittedFrames(&out);
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
    connectBuses(options.outages, 0);

    // How the firmware runs (built in, or the image on the emulated core) is one thing; how fast virtual
    // time goes (as fast as it can, or paced by the wall clock) another.
    const auto wall_start = std::chrono::steady_clock::now();
    const sitl::CommandLatency latency;
    std::unique_ptr<sitl::ImageNode> image;
    sitl::RunUntil runUntil = [](uint64_t t_ns) {
        sitl::runUntilNs(t_ns);
        return true;  // the built-in firmware's fatal stops end the process
    };
    if (options.elf.empty()) {
        sitl::powerOn();
    } else {
        image = std::make_unique<sitl::ImageNode>();
        const std::string error = image->powerOn(options.elf);
        if (!error.empty()) {
            usage(error);
        }
        runUntil = [&image](uint64_t t_ns) { return image->runUntilNs(t_ns); };
    }
    const bool ran = options.live ? sitl::runLive(backends, until_us * kNsPerUs, runUntil)
                                  : replayWithOutages(options.outages, until_us, runUntil);
    if (!ran && image) {
        std::cerr << "endpoint-sitl: the image stopped\n" << image->report();
        return EXIT_FAILURE;
    }
    if (!ran) {
        std::cerr << "endpoint-sitl: the node requested a system reset at " << sim::nowUs()
                  << " us and could not be powered on again\n";
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
    if (!options.profile.empty()) {
        writeFile(options.profile, profile.text());
    }
    if (!options.profile_functions.empty()) {
        writeFile(options.profile_functions, image->functionProfile());
    }

    if (!options.out.empty() && !out.flush()) {
        std::cerr << "endpoint-sitl: cannot write " << options.out << "\n";
        return EXIT_FAILURE;
    }
    if (!options.trace.empty()) {
        writeFile(options.trace, trace.text());
    }
    if (!options.console.empty()) {
        writeFile(options.console, sim::usart2Sent());
    }
    return 0;
}
