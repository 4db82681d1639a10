// The vendor definitions in docs/dsdl/qon/zb5, read as a DSDL tool reads them, against the node's codecs:
// the fixed signature each carries, its data type ID, and the payload its fields give for the same values.
// docs/dsdl is the folder tools are given, so it holds these and nothing a tool already has.
#include <gtest/gtest.h>

#include <filesystem>
#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "firmware/dsdl/qon/zb5/IgnoreCANPort.hpp"
#include "firmware/dsdl/qon/zb5/UseFlightController.hpp"
#include "firmware/dsdl/qon/zb5/VisibleFlightController.hpp"
#include "tests/unit/dsdl_test_support.hpp"

namespace {

using dsdltest::Bytes;
using Values = std::map<std::string, std::vector<int64_t>>;  // per field name, one value per element

struct Field {
    std::string name;
    unsigned bits;
    unsigned count;  // 1, or the static array's length
};

struct Definition {
    uint64_t signature = 0;
    std::vector<Field> fields;
    std::string problem;
};

// What the definition says, the way a DSDL tool takes it: comments go, a line is a directive or a field.
Definition readDefinition(const std::string& file)
{
    Definition d;
    std::ifstream in(std::string(DSDL_DOCS_DIR) + "/qon/zb5/" + file);
    if (!in) {
        d.problem = "cannot read " + file;
    }
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line.substr(0, line.find('#')));
        std::string type, name, extra;
        if (!(words >> type)) {
            continue;
        }
        if (!(words >> name) || (words >> extra)) {
            d.problem = "not a field or directive: " + line;
            continue;
        }
        if (type == "OVERRIDE_SIGNATURE") {
            d.signature = std::stoull(name, nullptr, 16);
            continue;
        }
        Field f{name, 0, 1};
        const std::size_t bracket = type.find('[');
        if (bracket != std::string::npos) {
            f.count = static_cast<unsigned>(std::stoul(type.substr(bracket + 1)));
            type.resize(bracket);
        }
        if (type == "bool") {
            f.bits = 1;
        } else if (type.rfind("uint", 0) == 0) {
            f.bits = static_cast<unsigned>(std::stoul(type.substr(4)));
        } else if (type.rfind("int", 0) == 0) {
            f.bits = static_cast<unsigned>(std::stoul(type.substr(3)));
        }
        if (f.bits == 0 || (f.bits > 8 && f.bits % 8 != 0)) {
            d.problem = "a type this test does not pack: " + line;
        }
        d.fields.push_back(f);
    }
    return d;
}

// Standard UAVCAN v0 packing of the fields in their order: whole bytes least significant first, a field
// under a byte as its low bits, every bit most significant first into the stream; zero padding to a byte.
Bytes pack(const Definition& d, const Values& values)
{
    Bytes out;
    unsigned bit = 0;
    auto put = [&](unsigned value, unsigned bits) {
        for (unsigned i = bits; i-- > 0; ++bit) {
            if (bit % 8 == 0) {
                out.push_back(0);
            }
            out.back() = static_cast<uint8_t>(out.back() | (((value >> i) & 1U) << (7 - bit % 8)));
        }
    };
    for (const Field& f : d.fields) {
        for (unsigned e = 0; e < f.count; ++e) {
            const auto v = static_cast<uint64_t>(values.at(f.name).at(e));
            if (f.bits < 8) {
                put(static_cast<unsigned>(v & ((1U << f.bits) - 1U)), f.bits);
            }
            for (unsigned byte = 0; f.bits >= 8 && byte < f.bits / 8; ++byte) {
                put(static_cast<unsigned>((v >> (8 * byte)) & 0xFFU), 8);
            }
        }
    }
    return out;
}

// A bool[3] field between Values and a record.
void setFlags(const Values& v, const char* name, bool out[3])
{
    for (unsigned i = 0; i < 3; ++i) {
        out[i] = v.at(name)[i] != 0;
    }
}

std::vector<int64_t> flags(const bool in[3]) { return {in[0], in[1], in[2]}; }

// Each type: its definition file, what the node knows of it, and its codec both ways over Values.
struct VendorType {
    const char* file;
    uint16_t id;
    uint64_t signature;
    Values example;
    Bytes (*encode)(const Values&);
    Values (*decode)(const Bytes&);
};

const VendorType kTypes[] = {
    {"20111.UseFlightController.uavcan", QON_ZB5_USEFLIGHTCONTROLLER_ID, QON_ZB5_USEFLIGHTCONTROLLER_SIGNATURE,
     {{"UniqID", {0x0123456789ABCDEF}}, {"UseFConBus", {-2}}, {"ThisBus", {1}}},
     [](const Values& v) {
         qon_zb5_UseFlightController r{static_cast<uint64_t>(v.at("UniqID")[0]), static_cast<int8_t>(v.at("UseFConBus")[0]),
                                       static_cast<int8_t>(v.at("ThisBus")[0])};
         uint8_t buf[QON_ZB5_USEFLIGHTCONTROLLER_MAX_SIZE] = {};
         return Bytes(buf, buf + qon_zb5_UseFlightController_encode(&r, buf));
     },
     [](const Bytes& b) {
         qon_zb5_UseFlightController r{};
         const dsdltest::Payload p(b);
         qon_zb5_UseFlightController_decode(p.transfer(), static_cast<uint16_t>(b.size()), &r, nullptr);
         return Values{{"UniqID", {static_cast<int64_t>(r.UniqID)}}, {"UseFConBus", {r.UseFConBus}}, {"ThisBus", {r.ThisBus}}};
     }},
    {"20112.VisibleFlightController.uavcan", QON_ZB5_VISIBLEFLIGHTCONTROLLER_ID,
     QON_ZB5_VISIBLEFLIGHTCONTROLLER_SIGNATURE, {{"UniqID", {0x1122334455667788}}, {"CANPresent", {1, 0, 1}}},
     [](const Values& v) {
         qon_zb5_VisibleFlightController r{static_cast<uint64_t>(v.at("UniqID")[0]), {}};
         setFlags(v, "CANPresent", r.CANPresent);
         uint8_t buf[QON_ZB5_VISIBLEFLIGHTCONTROLLER_MAX_SIZE] = {};
         return Bytes(buf, buf + qon_zb5_VisibleFlightController_encode(&r, buf));
     },
     [](const Bytes& b) {
         qon_zb5_VisibleFlightController r{};
         const dsdltest::Payload p(b);
         qon_zb5_VisibleFlightController_decode(p.transfer(), static_cast<uint16_t>(b.size()), &r, nullptr);
         return Values{{"UniqID", {static_cast<int64_t>(r.UniqID)}}, {"CANPresent", flags(r.CANPresent)}};
     }},
    {"20113.IgnoreCANPort.uavcan", QON_ZB5_IGNORECANPORT_ID, QON_ZB5_IGNORECANPORT_SIGNATURE,
     {{"NodeID", {126}}, {"IgnoreCANPort", {0, 1, 1}}},
     [](const Values& v) {
         qon_zb5_IgnoreCANPort r{static_cast<uint8_t>(v.at("NodeID")[0]), {}};
         setFlags(v, "IgnoreCANPort", r.IgnoreCANPort);
         uint8_t buf[QON_ZB5_IGNORECANPORT_MAX_SIZE] = {};
         return Bytes(buf, buf + qon_zb5_IgnoreCANPort_encode(&r, buf));
     },
     [](const Bytes& b) {
         qon_zb5_IgnoreCANPort r{};
         const dsdltest::Payload p(b);
         qon_zb5_IgnoreCANPort_decode(p.transfer(), static_cast<uint16_t>(b.size()), &r, nullptr);
         return Values{{"NodeID", {r.NodeID}}, {"IgnoreCANPort", flags(r.IgnoreCANPort)}};
     }},
};

TEST(DsdlDefinitions, VendorDefinitionsGiveTheNodesSignaturesAndPayloads)
{
    for (const VendorType& t : kTypes) {
        SCOPED_TRACE(t.file);
        const Definition d = readDefinition(t.file);
        ASSERT_EQ(d.problem, "");
        EXPECT_EQ(std::stoul(t.file), t.id) << "the file name's data type ID";
        EXPECT_EQ(d.signature, t.signature) << "OVERRIDE_SIGNATURE";
        ASSERT_EQ(d.fields.size(), t.example.size());
        for (const Field& f : d.fields) {
            ASSERT_EQ(t.example.count(f.name), 1U) << "no field " << f.name << " in the codec";
            EXPECT_EQ(t.example.at(f.name).size(), f.count) << f.name;
        }
        const Bytes payload = pack(d, t.example);
        EXPECT_EQ(t.encode(t.example), payload) << "what the node sends";
        EXPECT_EQ(t.decode(payload), t.example) << "what the node accepts";
    }
}

// A tool refuses a folder that defines a type again: every definition there is of the vendor namespace.
TEST(DsdlDefinitions, TheFolderForToolsRedefinesNoStandardType)
{
    namespace fs = std::filesystem;
    std::vector<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(DSDL_DOCS_DIR)) {
        if (entry.path().extension() == ".uavcan") {
            files.push_back(fs::relative(entry.path(), DSDL_DOCS_DIR).generic_string());
        }
    }
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"qon/zb5/20111.UseFlightController.uavcan",
                                               "qon/zb5/20112.VisibleFlightController.uavcan",
                                               "qon/zb5/20113.IgnoreCANPort.uavcan"}));
}

}  // namespace
