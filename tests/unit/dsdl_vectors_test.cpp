// The codecs against frames and decoded content from an independent implementation (tests/vectors/):
// encoding the same records gives the same payload bytes, decoding the payloads gives the same fields,
// and the same holds through the transport, frame for frame.

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "firmware/dsdl/uavcan/equipment/actuator/ArrayCommand.hpp"
#include "firmware/dsdl/uavcan/equipment/esc/RawCommand.hpp"
#include "firmware/dsdl/uavcan/protocol/GetNodeInfo.hpp"
#include "firmware/dsdl/uavcan/protocol/NodeStatus.hpp"
#include "firmware/dsdl/uavcan/protocol/dynamic_node_id/Allocation.hpp"
#include "firmware/dsdl/uavcan/protocol/param/GetSet.hpp"
#include "firmware/xport/xport.hpp"
#include "tests/unit/dsdl_test_support.hpp"

#ifndef DSDL_VECTORS_DIR
#error "DSDL_VECTORS_DIR must name the folder of the frame vectors"
#endif

namespace {

using dsdltest::Arena;
using dsdltest::Bytes;
using dsdltest::Payload;

// ---------------------------------------------------------------------------------------------------------
// Just enough JSON for the decoded fields of the vectors.

struct Json {
    enum class Kind { Null, Bool, Number, String, Array, Object };
    Kind kind = Kind::Null;
    bool boolean = false;
    double number = 0;
    bool integral = false;
    int64_t integer = 0;
    std::string text;
    std::vector<Json> items;
    std::map<std::string, Json> members;

    const Json& operator[](const std::string& key) const
    {
        const auto it = members.find(key);
        if (kind != Kind::Object || it == members.end()) {
            throw std::runtime_error("no member " + key);
        }
        return it->second;
    }
    int64_t asInt() const
    {
        if (kind == Kind::Bool) {
            return boolean ? 1 : 0;
        }
        if (kind != Kind::Number || !integral) {
            throw std::runtime_error("not an integer");
        }
        return integer;
    }
    Bytes asBytes() const
    {
        Bytes out;
        if (kind == Kind::String) {
            out.assign(text.begin(), text.end());
            return out;
        }
        for (const Json& item : items) {
            out.push_back(static_cast<uint8_t>(item.asInt()));
        }
        return out;
    }
};

class JsonParser {
public:
    explicit JsonParser(const std::string& s) : s_(s) {}

    Json parse()
    {
        Json v = value();
        skip();
        if (pos_ != s_.size()) {
            throw std::runtime_error("trailing JSON");
        }
        return v;
    }

private:
    void skip()
    {
        while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_])) != 0) {
            ++pos_;
        }
    }
    char peek()
    {
        skip();
        if (pos_ >= s_.size()) {
            throw std::runtime_error("JSON ends early");
        }
        return s_[pos_];
    }
    void expect(char c)
    {
        if (peek() != c) {
            throw std::runtime_error(std::string("JSON: expected ") + c);
        }
        ++pos_;
    }
    std::string string()
    {
        expect('"');
        std::string out;
        while (s_.at(pos_) != '"') {
            if (s_[pos_] == '\\') {
                ++pos_;
            }
            out.push_back(s_.at(pos_++));
        }
        ++pos_;
        return out;
    }
    Json value()
    {
        Json v;
        const char c = peek();
        if (c == '{') {
            v.kind = Json::Kind::Object;
            ++pos_;
            if (peek() == '}') {
                ++pos_;
                return v;
            }
            for (;;) {
                const std::string key = string();
                expect(':');
                v.members[key] = value();
                if (peek() == ',') {
                    ++pos_;
                    continue;
                }
                expect('}');
                return v;
            }
        }
        if (c == '[') {
            v.kind = Json::Kind::Array;
            ++pos_;
            if (peek() == ']') {
                ++pos_;
                return v;
            }
            for (;;) {
                v.items.push_back(value());
                if (peek() == ',') {
                    ++pos_;
                    continue;
                }
                expect(']');
                return v;
            }
        }
        if (c == '"') {
            v.kind = Json::Kind::String;
            v.text = string();
            return v;
        }
        if (s_.compare(pos_, 4, "true") == 0 || s_.compare(pos_, 5, "false") == 0) {
            v.kind = Json::Kind::Bool;
            v.boolean = s_[pos_] == 't';
            pos_ += v.boolean ? 4 : 5;
            return v;
        }
        if (s_.compare(pos_, 4, "null") == 0) {
            pos_ += 4;
            return v;
        }
        const std::size_t start = pos_;
        while (pos_ < s_.size() && std::string("+-0123456789.eE").find(s_[pos_]) != std::string::npos) {
            ++pos_;
        }
        const std::string num = s_.substr(start, pos_ - start);
        if (num.empty()) {
            throw std::runtime_error("JSON: bad value");
        }
        v.kind = Json::Kind::Number;
        v.number = std::stod(num);
        v.integral = num.find_first_of(".eE") == std::string::npos;
        if (v.integral) {
            v.integer = std::stoll(num);
        }
        return v;
    }

    const std::string& s_;
    std::size_t pos_ = 0;
};

// ---------------------------------------------------------------------------------------------------------
// The vector files

struct ExpectedTransfer {
    std::map<std::string, std::string> attrs;
    Bytes payload;
    Json fields;
};

std::string vectorPath(const std::string& name) { return std::string(DSDL_VECTORS_DIR) + "/" + name; }

std::vector<ExpectedTransfer> loadExpected(const std::string& name)
{
    std::ifstream in(vectorPath(name + ".expected"));
    if (!in) {
        throw std::runtime_error("cannot open " + name + ".expected");
    }
    std::vector<ExpectedTransfer> out;
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t f = line.find(" fields=");
        if (f == std::string::npos) {
            continue;
        }
        ExpectedTransfer t;
        std::istringstream words(line.substr(0, f));
        std::string word;
        while (words >> word) {
            const std::size_t eq = word.find('=');
            if (eq != std::string::npos) {
                t.attrs[word.substr(0, eq)] = word.substr(eq + 1);
            }
        }
        t.payload = dsdltest::fromHex(t.attrs.at("payload"));
        t.fields = JsonParser(line.substr(f + 8)).parse();
        out.push_back(t);
    }
    return out;
}

std::vector<XportCANFrame> loadFrames(const std::string& name)
{
    std::ifstream in(vectorPath(name + ".log"));
    if (!in) {
        throw std::runtime_error("cannot open " + name + ".log");
    }
    std::vector<XportCANFrame> out;
    std::string stamp;
    std::string iface;
    std::string frame;
    while (in >> stamp >> iface >> frame) {
        const std::size_t hash = frame.find('#');
        XportCANFrame f{};
        f.id = static_cast<uint32_t>(std::stoul(frame.substr(0, hash), nullptr, 16)) | XPORT_CAN_FRAME_EFF;
        const Bytes data = dsdltest::fromHex(frame.substr(hash + 1));
        std::copy(data.begin(), data.end(), f.data);
        f.data_len = static_cast<uint8_t>(data.size());
        out.push_back(f);
    }
    return out;
}

int attrInt(const ExpectedTransfer& t, const char* key) { return std::stoi(t.attrs.at(key)); }

// ---------------------------------------------------------------------------------------------------------
// Records from the decoded fields

void fillValue(const Json& j, uavcan_protocol_param_Value* v, Bytes* storage)
{
    if (j.members.count("integer_value") != 0) {
        v->union_tag = UAVCAN_PROTOCOL_PARAM_VALUE_INTEGER_VALUE;
        v->integer_value = j["integer_value"].asInt();
    } else if (j.members.count("real_value") != 0) {
        v->union_tag = UAVCAN_PROTOCOL_PARAM_VALUE_REAL_VALUE;
        v->real_value = static_cast<float>(j["real_value"].number);
    } else if (j.members.count("boolean_value") != 0) {
        v->union_tag = UAVCAN_PROTOCOL_PARAM_VALUE_BOOLEAN_VALUE;
        v->boolean_value = static_cast<uint8_t>(j["boolean_value"].asInt());
    } else if (j.members.count("string_value") != 0) {
        v->union_tag = UAVCAN_PROTOCOL_PARAM_VALUE_STRING_VALUE;
        *storage = j["string_value"].asBytes();
        v->string_value.len = static_cast<uint8_t>(storage->size());
        v->string_value.data = storage->data();
    } else {
        v->union_tag = UAVCAN_PROTOCOL_PARAM_VALUE_EMPTY;
    }
}

void fillNumericValue(const Json& j, uavcan_protocol_param_NumericValue* v)
{
    if (j.members.count("integer_value") != 0) {
        v->union_tag = UAVCAN_PROTOCOL_PARAM_NUMERICVALUE_INTEGER_VALUE;
        v->integer_value = j["integer_value"].asInt();
    } else if (j.members.count("real_value") != 0) {
        v->union_tag = UAVCAN_PROTOCOL_PARAM_NUMERICVALUE_REAL_VALUE;
        v->real_value = static_cast<float>(j["real_value"].number);
    } else {
        v->union_tag = UAVCAN_PROTOCOL_PARAM_NUMERICVALUE_EMPTY;
    }
}

void fillNodeStatus(const Json& j, uavcan_protocol_NodeStatus* s)
{
    s->uptime_sec = static_cast<uint32_t>(j["uptime_sec"].asInt());
    s->health = static_cast<uint8_t>(j["health"].asInt());
    s->mode = static_cast<uint8_t>(j["mode"].asInt());
    s->sub_mode = static_cast<uint8_t>(j["sub_mode"].asInt());
    s->vendor_specific_status_code = static_cast<uint16_t>(j["vendor_specific_status_code"].asInt());
}

// Everything a GetNodeInfo answer record points to.
struct NodeInfoRecord {
    uavcan_protocol_GetNodeInfoResponse rec{};
    Bytes certificate;
    Bytes name;
};

void fillNodeInfo(const Json& j, NodeInfoRecord* r)
{
    fillNodeStatus(j["status"], &r->rec.status);
    const Json& sw = j["software_version"];
    r->rec.software_version.major = static_cast<uint8_t>(sw["major"].asInt());
    r->rec.software_version.minor = static_cast<uint8_t>(sw["minor"].asInt());
    r->rec.software_version.optional_field_flags = static_cast<uint8_t>(sw["optional_field_flags"].asInt());
    r->rec.software_version.vcs_commit = static_cast<uint32_t>(sw["vcs_commit"].asInt());
    r->rec.software_version.image_crc = static_cast<uint64_t>(sw["image_crc"].asInt());
    const Json& hw = j["hardware_version"];
    r->rec.hardware_version.major = static_cast<uint8_t>(hw["major"].asInt());
    r->rec.hardware_version.minor = static_cast<uint8_t>(hw["minor"].asInt());
    const Bytes uid = hw["unique_id"].asBytes();
    EXPECT_EQ(uid.size(), UAVCAN_PROTOCOL_HARDWAREVERSION_UNIQUE_ID_LENGTH);
    std::copy(uid.begin(), uid.end(), r->rec.hardware_version.unique_id);
    r->certificate = hw["certificate_of_authenticity"].asBytes();
    r->rec.hardware_version.certificate_of_authenticity.len = static_cast<uint8_t>(r->certificate.size());
    r->rec.hardware_version.certificate_of_authenticity.data = r->certificate.data();
    r->name = j["name"].asBytes();
    r->rec.name.len = static_cast<uint8_t>(r->name.size());
    r->rec.name.data = r->name.data();
}

struct GetSetResponseRecord {
    uavcan_protocol_param_GetSetResponse rec{};
    Bytes value_string;
    Bytes default_string;
    Bytes name;
};

void fillGetSetResponse(const Json& j, GetSetResponseRecord* r)
{
    fillValue(j["value"], &r->rec.value, &r->value_string);
    fillValue(j["default_value"], &r->rec.default_value, &r->default_string);
    fillNumericValue(j["max_value"], &r->rec.max_value);
    fillNumericValue(j["min_value"], &r->rec.min_value);
    r->name = j["name"].asBytes();
    r->rec.name.len = static_cast<uint8_t>(r->name.size());
    r->rec.name.data = r->name.data();
}

struct AllocationRecord {
    uavcan_protocol_dynamic_node_id_Allocation rec{};
    Bytes uid;
};

void fillAllocation(const Json& j, AllocationRecord* r)
{
    r->rec.node_id = static_cast<uint8_t>(j["node_id"].asInt());
    r->rec.first_part_of_unique_id = j["first_part_of_unique_id"].boolean;
    r->uid = j["unique_id"].asBytes();
    r->rec.unique_id.len = static_cast<uint8_t>(r->uid.size());
    r->rec.unique_id.data = r->uid.data();
}

// ---------------------------------------------------------------------------------------------------------
// Field comparisons for the decoders

void expectAllocation(const Json& j, const uavcan_protocol_dynamic_node_id_Allocation& rec)
{
    EXPECT_EQ(rec.node_id, j["node_id"].asInt());
    EXPECT_EQ(rec.first_part_of_unique_id, j["first_part_of_unique_id"].boolean);
    EXPECT_EQ(Bytes(rec.unique_id.data, rec.unique_id.data + rec.unique_id.len), j["unique_id"].asBytes());
}

void expectGetSetRequest(const Json& j, const uavcan_protocol_param_GetSetRequest& rec)
{
    EXPECT_EQ(rec.index, j["index"].asInt());
    const Json& v = j["value"];
    ASSERT_EQ(rec.value.union_tag, UAVCAN_PROTOCOL_PARAM_VALUE_INTEGER_VALUE);
    EXPECT_EQ(rec.value.integer_value, v["integer_value"].asInt());
    EXPECT_EQ(Bytes(rec.name.data, rec.name.data + rec.name.len), j["name"].asBytes());
}

void expectArrayCommand(const Json& j, const uavcan_equipment_actuator_ArrayCommand& rec)
{
    const Json& list = j["commands"];
    ASSERT_EQ(rec.commands.len, list.items.size());
    for (std::size_t c = 0; c < list.items.size(); ++c) {
        EXPECT_EQ(rec.commands.data[c].actuator_id, list.items[c]["actuator_id"].asInt());
        EXPECT_EQ(rec.commands.data[c].command_type, list.items[c]["command_type"].asInt());
        EXPECT_EQ(rec.commands.data[c].command_value, static_cast<float>(list.items[c]["command_value"].number));
    }
}

void expectRawCommand(const Json& j, const uavcan_equipment_esc_RawCommand& rec)
{
    const Json& list = j["cmd"];
    ASSERT_EQ(rec.cmd.len, list.items.size());
    for (std::size_t k = 0; k < list.items.size(); ++k) {
        EXPECT_EQ(rec.cmd.data[k], list.items[k].asInt());
    }
}

// ---------------------------------------------------------------------------------------------------------
// Payload bytes

TEST(DsdlVectors, NodeStatusEncodesTheSamePayload)
{
    const auto v = loadExpected("nodestatus_n110_uptime5");
    ASSERT_EQ(v.size(), 1U);
    EXPECT_EQ(v[0].attrs.at("type"), UAVCAN_PROTOCOL_NODESTATUS_NAME);
    EXPECT_EQ(attrInt(v[0], "dtid"), UAVCAN_PROTOCOL_NODESTATUS_ID);

    uavcan_protocol_NodeStatus rec{};
    fillNodeStatus(v[0].fields, &rec);
    uint8_t buf[UAVCAN_PROTOCOL_NODESTATUS_MAX_SIZE] = {};
    const uint32_t len = uavcan_protocol_NodeStatus_encode(&rec, buf);
    EXPECT_EQ(Bytes(buf, buf + len), v[0].payload);
}

TEST(DsdlVectors, GetNodeInfoRequestIsEmptyAndResponseEncodesTheSamePayload)
{
    const auto req = loadExpected("getnodeinfo_req_n10_to_n110");
    ASSERT_EQ(req.size(), 1U);
    EXPECT_EQ(req[0].attrs.at("type"), UAVCAN_PROTOCOL_GETNODEINFO_NAME);
    EXPECT_EQ(req[0].payload.size(), UAVCAN_PROTOCOL_GETNODEINFO_REQUEST_MAX_SIZE);

    const auto resp = loadExpected("getnodeinfo_resp_n110_flags3");
    ASSERT_EQ(resp.size(), 1U);
    EXPECT_EQ(attrInt(resp[0], "dtid"), UAVCAN_PROTOCOL_GETNODEINFO_ID);
    NodeInfoRecord r;
    fillNodeInfo(resp[0].fields, &r);
    uint8_t buf[UAVCAN_PROTOCOL_GETNODEINFO_RESPONSE_MAX_SIZE] = {};
    const uint32_t len = uavcan_protocol_GetNodeInfoResponse_encode(&r.rec, buf);
    EXPECT_EQ(Bytes(buf, buf + len), resp[0].payload);
}

TEST(DsdlVectors, AllocationRequestsEncodeAndDecodeTheSame)
{
    const auto v = loadExpected("allocation_anon_requests");
    ASSERT_EQ(v.size(), 3U);
    for (const ExpectedTransfer& t : v) {
        SCOPED_TRACE(t.attrs.at("payload"));
        EXPECT_EQ(t.attrs.at("type"), UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_NAME);
        EXPECT_EQ(attrInt(t, "dtid"), UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_ID);

        AllocationRecord r;
        fillAllocation(t.fields, &r);
        uint8_t buf[UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_MAX_SIZE] = {};
        const uint32_t len = uavcan_protocol_dynamic_node_id_Allocation_encode(&r.rec, buf);
        EXPECT_EQ(Bytes(buf, buf + len), t.payload);

        const Payload p(t.payload);
        Arena arena(UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_DYN_ARR_BUF_SIZE);
        uavcan_protocol_dynamic_node_id_Allocation out{};
        const int32_t bits = uavcan_protocol_dynamic_node_id_Allocation_decode_internal(
            p.transfer(), p.len(), &out, arena.cursor(), 0);
        EXPECT_EQ(bits, static_cast<int32_t>(t.payload.size() * 8));
        expectAllocation(t.fields, out);
        EXPECT_TRUE(arena.guardsIntact());
    }
}

TEST(DsdlVectors, GetSetRequestDecodesTheSameFieldsAndEncodesBack)
{
    const auto v = loadExpected("getset_req_CAN2PWM_CH1_int7");
    ASSERT_EQ(v.size(), 1U);
    EXPECT_EQ(v[0].attrs.at("type"), UAVCAN_PROTOCOL_PARAM_GETSET_NAME);
    EXPECT_EQ(attrInt(v[0], "dtid"), UAVCAN_PROTOCOL_PARAM_GETSET_ID);

    const Payload p(v[0].payload);
    Arena arena(UAVCAN_PROTOCOL_PARAM_GETSET_REQUEST_DYN_ARR_BUF_SIZE);
    uavcan_protocol_param_GetSetRequest rec;
    const int32_t bits = uavcan_protocol_param_GetSetRequest_decode(p.transfer(), p.len(), &rec, arena.cursor());
    EXPECT_EQ(bits, static_cast<int32_t>(v[0].payload.size() * 8));
    expectGetSetRequest(v[0].fields, rec);
    EXPECT_TRUE(arena.guardsIntact());

    // The same request from the field encoders: index, nested value, name without prefix.
    uavcan_protocol_param_Value value{};
    Bytes storage;
    fillValue(v[0].fields["value"], &value, &storage);
    uint8_t buf[UAVCAN_PROTOCOL_PARAM_GETSET_REQUEST_MAX_SIZE] = {};
    const uint16_t index = static_cast<uint16_t>(v[0].fields["index"].asInt());
    xportEncodeScalar(buf, 0, 13, &index);
    uint32_t offset = uavcan_protocol_param_Value_encode_internal(&value, buf, 13, 0);
    for (const uint8_t c : v[0].fields["name"].asBytes()) {
        xportEncodeScalar(buf, offset, 8, &c);
        offset += 8;
    }
    EXPECT_EQ(Bytes(buf, buf + (offset + 7) / 8), v[0].payload);
}

TEST(DsdlVectors, GetSetResponseEncodesTheSamePayload)
{
    const auto v = loadExpected("getset_resp_FORMATID_int6");
    ASSERT_EQ(v.size(), 1U);
    GetSetResponseRecord r;
    fillGetSetResponse(v[0].fields, &r);
    uint8_t buf[UAVCAN_PROTOCOL_PARAM_GETSET_RESPONSE_MAX_SIZE] = {};
    const uint32_t len = uavcan_protocol_param_GetSetResponse_encode(&r.rec, buf);
    EXPECT_EQ(Bytes(buf, buf + len), v[0].payload);
}

TEST(DsdlVectors, ArrayCommandDecodesTheSameFields)
{
    const auto v = loadExpected("arraycommand_act5_act6");
    ASSERT_EQ(v.size(), 1U);
    EXPECT_EQ(v[0].attrs.at("type"), UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_NAME);
    EXPECT_EQ(attrInt(v[0], "dtid"), UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_ID);

    const Payload p(v[0].payload);
    Arena arena(UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_DYN_ARR_BUF_SIZE);
    uavcan_equipment_actuator_ArrayCommand rec{};
    const int32_t bits =
        uavcan_equipment_actuator_ArrayCommand_decode_internal(p.transfer(), p.len(), &rec, arena.cursor(), 0);
    EXPECT_EQ(bits, 64);
    expectArrayCommand(v[0].fields, rec);
    EXPECT_TRUE(arena.guardsIntact());
}

TEST(DsdlVectors, RawCommandDecodesTheSameFields)
{
    const auto v = loadExpected("rawcommand_4ch");
    ASSERT_EQ(v.size(), 1U);
    EXPECT_EQ(v[0].attrs.at("type"), UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_NAME);
    EXPECT_EQ(attrInt(v[0], "dtid"), UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_ID);

    const Payload p(v[0].payload);
    Arena arena(UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_DYN_ARR_BUF_SIZE);
    uavcan_equipment_esc_RawCommand rec{};
    const int32_t bits =
        uavcan_equipment_esc_RawCommand_decode_internal(p.transfer(), p.len(), &rec, arena.cursor(), 0);
    EXPECT_EQ(bits, 56);
    expectRawCommand(v[0].fields, rec);
    EXPECT_TRUE(arena.guardsIntact());
}

// ---------------------------------------------------------------------------------------------------------
// Through the transport: the reference frames reassemble (the multi-frame CRC only matches with the right
// data type signature) and decode to the reference fields from their scattered storage; encoded records
// sent by the transport give the reference frames.

uint64_t signatureOf(uint16_t data_type_id, XportTransferType kind)
{
    if (kind == XportTransferTypeBroadcast) {
        switch (data_type_id) {
        case UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_ID:
            return UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_SIGNATURE;
        case UAVCAN_PROTOCOL_NODESTATUS_ID:
            return UAVCAN_PROTOCOL_NODESTATUS_SIGNATURE;
        case UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_ID:
            return UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_SIGNATURE;
        case UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_ID:
            return UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_SIGNATURE;
        default:
            return 0;
        }
    }
    switch (data_type_id) {
    case UAVCAN_PROTOCOL_GETNODEINFO_ID:
        return UAVCAN_PROTOCOL_GETNODEINFO_SIGNATURE;
    case UAVCAN_PROTOCOL_PARAM_GETSET_ID:
        return UAVCAN_PROTOCOL_PARAM_GETSET_SIGNATURE;
    default:
        return 0;
    }
}

class TransportNode {
public:
    explicit TransportNode(uint8_t node_id)
    {
        xportInit(&ins_, arena_, sizeof(arena_), onReception, shouldAccept, this);
        if (node_id != 0) {
            xportSetLocalNodeID(&ins_, node_id);
        }
    }

    std::function<void(const XportRxTransfer&)> on_transfer;
    int received = 0;

    void feed(const std::vector<XportCANFrame>& frames)
    {
        uint64_t t = 1000000;
        for (const XportCANFrame& f : frames) {
            xportHandleRxFrame(&ins_, &f, t);
            t += 100;
        }
    }

    std::vector<XportCANFrame> drain()
    {
        std::vector<XportCANFrame> out;
        while (const XportCANFrame* f = xportPeekTxQueue(&ins_)) {
            out.push_back(*f);
            xportPopTxQueue(&ins_);
        }
        return out;
    }

    XportInstance* ins() { return &ins_; }

private:
    static bool shouldAccept(const XportInstance*, uint64_t* signature, uint16_t data_type_id,
                             XportTransferType kind, uint8_t)
    {
        *signature = signatureOf(data_type_id, kind);
        return *signature != 0;
    }
    static void onReception(XportInstance* ins, XportRxTransfer* transfer)
    {
        auto* self = static_cast<TransportNode*>(ins->user_reference);
        ++self->received;
        if (self->on_transfer) {
            self->on_transfer(*transfer);
        }
    }

    alignas(XportPoolAllocatorBlock) uint8_t arena_[3096] = {};
    XportInstance ins_{};
};

bool sameFrame(const XportCANFrame& a, const XportCANFrame& b)
{
    return (a.id & XPORT_CAN_EXT_ID_MASK) == (b.id & XPORT_CAN_EXT_ID_MASK) && a.data_len == b.data_len &&
           std::equal(a.data, a.data + a.data_len, b.data);
}

void expectSameFrames(const std::vector<XportCANFrame>& got, const std::vector<XportCANFrame>& want)
{
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_TRUE(sameFrame(got[i], want[i])) << "frame " << i;
    }
}

TEST(DsdlVectors, ReassembledMessagesDecodeToTheSameFields)
{
    {
        const auto v = loadExpected("arraycommand_act5_act6");
        TransportNode node(110);
        node.on_transfer = [&](const XportRxTransfer& t) {
            alignas(uavcan_equipment_actuator_Command) uint8_t arena[UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_DYN_ARR_BUF_SIZE];
            uint8_t* cursor = arena;
            uavcan_equipment_actuator_ArrayCommand rec{};
            EXPECT_EQ(uavcan_equipment_actuator_ArrayCommand_decode_internal(&t, t.payload_len, &rec, &cursor, 0), 64);
            expectArrayCommand(v[0].fields, rec);
        };
        node.feed(loadFrames("arraycommand_act5_act6"));
        EXPECT_EQ(node.received, 1);
    }
    {
        const auto v = loadExpected("rawcommand_4ch");
        TransportNode node(110);
        node.on_transfer = [&](const XportRxTransfer& t) {
            int16_t values[UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_CMD_MAX_LENGTH];
            uint8_t* cursor = reinterpret_cast<uint8_t*>(values);
            uavcan_equipment_esc_RawCommand rec{};
            EXPECT_EQ(uavcan_equipment_esc_RawCommand_decode_internal(&t, t.payload_len, &rec, &cursor, 0), 56);
            expectRawCommand(v[0].fields, rec);
        };
        node.feed(loadFrames("rawcommand_4ch"));
        EXPECT_EQ(node.received, 1);
    }
    {
        const auto v = loadExpected("allocation_anon_requests");
        TransportNode node(110);
        std::size_t next = 0;
        node.on_transfer = [&](const XportRxTransfer& t) {
            ASSERT_LT(next, v.size());
            uint8_t uid[UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_UNIQUE_ID_MAX_LENGTH];
            uint8_t* cursor = uid;
            uavcan_protocol_dynamic_node_id_Allocation rec{};
            EXPECT_EQ(uavcan_protocol_dynamic_node_id_Allocation_decode_internal(&t, t.payload_len, &rec, &cursor, 0),
                      t.payload_len * 8);
            expectAllocation(v[next++].fields, rec);
        };
        node.feed(loadFrames("allocation_anon_requests"));
        EXPECT_EQ(node.received, 3);
    }
}

TEST(DsdlVectors, ReassembledGetSetTransfersDecodeToTheSameFields)
{
    {
        const auto v = loadExpected("getset_req_CAN2PWM_CH1_int7");
        TransportNode node(110);
        node.on_transfer = [&](const XportRxTransfer& t) {
            uint8_t arena[UAVCAN_PROTOCOL_PARAM_GETSET_REQUEST_DYN_ARR_BUF_SIZE] = {};
            uint8_t* cursor = arena;
            uavcan_protocol_param_GetSetRequest rec;
            EXPECT_EQ(uavcan_protocol_param_GetSetRequest_decode(&t, t.payload_len, &rec, &cursor), t.payload_len * 8);
            expectGetSetRequest(v[0].fields, rec);
        };
        node.feed(loadFrames("getset_req_CAN2PWM_CH1_int7"));
        EXPECT_EQ(node.received, 1);
    }
    {
        // The response has no decoder in the node, but its values are nested Values and NumericValues:
        // read the two Values where the layout puts them (after 5 void bits each).
        const auto v = loadExpected("getset_resp_FORMATID_int6");
        TransportNode node(10);
        node.on_transfer = [&](const XportRxTransfer& t) {
            uavcan_protocol_param_Value value{};
            const int32_t after_value = uavcan_protocol_param_Value_decode_internal(&t, 0, &value, nullptr, 5);
            EXPECT_EQ(after_value, 5 + 3 + 64);
            EXPECT_EQ(value.union_tag, UAVCAN_PROTOCOL_PARAM_VALUE_INTEGER_VALUE);
            EXPECT_EQ(value.integer_value, v[0].fields["value"]["integer_value"].asInt());
            uavcan_protocol_param_Value def{};
            EXPECT_EQ(uavcan_protocol_param_Value_decode_internal(&t, 0, &def, nullptr, after_value + 5),
                      after_value + 5 + 3 + 64);
            EXPECT_EQ(def.integer_value, v[0].fields["default_value"]["integer_value"].asInt());
        };
        node.feed(loadFrames("getset_resp_FORMATID_int6"));
        EXPECT_EQ(node.received, 1);
    }
}

TEST(DsdlVectors, EncodedRecordsSentByTheTransportGiveTheSameFrames)
{
    {
        const auto v = loadExpected("nodestatus_n110_uptime5");
        uavcan_protocol_NodeStatus rec{};
        fillNodeStatus(v[0].fields, &rec);
        uint8_t buf[UAVCAN_PROTOCOL_NODESTATUS_MAX_SIZE] = {};
        const uint32_t len = uavcan_protocol_NodeStatus_encode(&rec, buf);
        TransportNode node(110);
        uint8_t tid = static_cast<uint8_t>(attrInt(v[0], "tid"));
        EXPECT_GE(xportBroadcast(node.ins(), UAVCAN_PROTOCOL_NODESTATUS_SIGNATURE, UAVCAN_PROTOCOL_NODESTATUS_ID, &tid,
                                 static_cast<uint8_t>(attrInt(v[0], "prio")), buf, static_cast<uint16_t>(len)),
                  0);
        expectSameFrames(node.drain(), loadFrames("nodestatus_n110_uptime5"));
    }
    {
        const auto v = loadExpected("allocation_anon_requests");
        TransportNode node(0);  // anonymous, as before allocation
        std::vector<XportCANFrame> sent;
        for (const ExpectedTransfer& t : v) {
            AllocationRecord r;
            fillAllocation(t.fields, &r);
            uint8_t buf[UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_MAX_SIZE] = {};
            const uint32_t len = uavcan_protocol_dynamic_node_id_Allocation_encode(&r.rec, buf);
            uint8_t tid = static_cast<uint8_t>(attrInt(t, "tid"));
            EXPECT_GE(xportBroadcast(node.ins(), UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_SIGNATURE,
                                     UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_ID, &tid,
                                     static_cast<uint8_t>(attrInt(t, "prio")), buf, static_cast<uint16_t>(len)),
                      0);
            const auto frames = node.drain();
            sent.insert(sent.end(), frames.begin(), frames.end());
        }
        expectSameFrames(sent, loadFrames("allocation_anon_requests"));
    }
    {
        const auto v = loadExpected("getnodeinfo_resp_n110_flags3");
        NodeInfoRecord r;
        fillNodeInfo(v[0].fields, &r);
        uint8_t buf[UAVCAN_PROTOCOL_GETNODEINFO_RESPONSE_MAX_SIZE] = {};
        const uint32_t len = uavcan_protocol_GetNodeInfoResponse_encode(&r.rec, buf);
        TransportNode node(110);
        uint8_t tid = static_cast<uint8_t>(attrInt(v[0], "tid"));
        EXPECT_GE(xportRequestOrRespond(node.ins(), static_cast<uint8_t>(attrInt(v[0], "dst")),
                                        UAVCAN_PROTOCOL_GETNODEINFO_SIGNATURE, UAVCAN_PROTOCOL_GETNODEINFO_ID, &tid,
                                        static_cast<uint8_t>(attrInt(v[0], "prio")), XportResponse, buf,
                                        static_cast<uint16_t>(len)),
                  0);
        expectSameFrames(node.drain(), loadFrames("getnodeinfo_resp_n110_flags3"));
    }
    {
        const auto v = loadExpected("getset_resp_FORMATID_int6");
        GetSetResponseRecord r;
        fillGetSetResponse(v[0].fields, &r);
        uint8_t buf[UAVCAN_PROTOCOL_PARAM_GETSET_RESPONSE_MAX_SIZE] = {};
        const uint32_t len = uavcan_protocol_param_GetSetResponse_encode(&r.rec, buf);
        TransportNode node(110);
        uint8_t tid = static_cast<uint8_t>(attrInt(v[0], "tid"));
        EXPECT_GE(xportRequestOrRespond(node.ins(), static_cast<uint8_t>(attrInt(v[0], "dst")),
                                        UAVCAN_PROTOCOL_PARAM_GETSET_SIGNATURE, UAVCAN_PROTOCOL_PARAM_GETSET_ID, &tid,
                                        static_cast<uint8_t>(attrInt(v[0], "prio")), XportResponse, buf,
                                        static_cast<uint16_t>(len)),
                  0);
        expectSameFrames(node.drain(), loadFrames("getset_resp_FORMATID_int6"));
    }
}

}  // namespace
