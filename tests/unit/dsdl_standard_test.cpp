// Standard data type codecs: saturation, tail arrays, length prefixes, the arena, unions and short or
// oversized payloads.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "firmware/dsdl/uavcan/equipment/actuator/ArrayCommand.hpp"
#include "firmware/dsdl/uavcan/equipment/esc/RawCommand.hpp"
#include "firmware/dsdl/uavcan/protocol/GetDataTypeInfo.hpp"
#include "firmware/dsdl/uavcan/protocol/GetNodeInfo.hpp"
#include "firmware/dsdl/uavcan/protocol/GetTransportStats.hpp"
#include "firmware/dsdl/uavcan/protocol/NodeStatus.hpp"
#include "firmware/dsdl/uavcan/protocol/Panic.hpp"
#include "firmware/dsdl/uavcan/protocol/RestartNode.hpp"
#include "firmware/dsdl/uavcan/protocol/debug/LogMessage.hpp"
#include "firmware/dsdl/uavcan/protocol/dynamic_node_id/Allocation.hpp"
#include "firmware/dsdl/uavcan/protocol/file/BeginFirmwareUpdate.hpp"
#include "firmware/dsdl/uavcan/protocol/file/Read.hpp"
#include "firmware/dsdl/uavcan/protocol/param/ExecuteOpcode.hpp"
#include "firmware/dsdl/uavcan/protocol/param/GetSet.hpp"
#include "tests/unit/dsdl_test_support.hpp"

namespace {

using dsdltest::Arena;
using dsdltest::BitWriter;
using dsdltest::Bytes;
using dsdltest::Payload;

constexpr int32_t SHORT = -XPORT_ERROR_INTERNAL;

// ---------------------------------------------------------------------------------------------------------
// NodeStatus

TEST(DsdlNodeStatus, SaturatesNarrowFieldsAndWritesTheLimitsBack)
{
    uavcan_protocol_NodeStatus rec{0x01020304, 5, 9, 200, 0xBEEF};
    uint8_t buf[UAVCAN_PROTOCOL_NODESTATUS_MAX_SIZE] = {};
    EXPECT_EQ(uavcan_protocol_NodeStatus_encode(&rec, buf), 7U);
    EXPECT_EQ(rec.health, 3);
    EXPECT_EQ(rec.mode, 7);
    EXPECT_EQ(rec.sub_mode, 7);
    EXPECT_EQ(Bytes(buf, buf + 7), (Bytes{0x04, 0x03, 0x02, 0x01, 0xFF, 0xEF, 0xBE}));
}

TEST(DsdlNodeStatus, PacksHealthModeAndSubModeIntoOneByte)
{
    uavcan_protocol_NodeStatus rec{};
    rec.health = UAVCAN_PROTOCOL_NODESTATUS_HEALTH_WARNING;
    rec.mode = UAVCAN_PROTOCOL_NODESTATUS_MODE_MAINTENANCE;
    rec.sub_mode = 5;
    uint8_t buf[UAVCAN_PROTOCOL_NODESTATUS_MAX_SIZE] = {};
    uavcan_protocol_NodeStatus_encode(&rec, buf);
    EXPECT_EQ(buf[4], 0x55);  // 01 010 101
    EXPECT_EQ(rec.health, 1);
    EXPECT_EQ(rec.mode, 2);
    EXPECT_EQ(rec.sub_mode, 5);
}

// ---------------------------------------------------------------------------------------------------------
// GetNodeInfo

TEST(DsdlGetNodeInfo, LargestAnswerFillsTheMaximumSizeExactly)
{
    uint8_t cert[255];
    uint8_t name[100];
    std::memset(cert, 'c', sizeof(cert));
    std::memset(name, 'n', sizeof(name));
    uavcan_protocol_GetNodeInfoResponse rec{};
    rec.hardware_version.certificate_of_authenticity.len = 255;
    rec.hardware_version.certificate_of_authenticity.data = cert;
    rec.name.len = 100;  // over the maximum of 80
    rec.name.data = name;

    // Nested, with the name's 7-bit prefix, it is the full 3015 bits.
    uint8_t buf[UAVCAN_PROTOCOL_GETNODEINFO_RESPONSE_MAX_SIZE + 8];
    std::memset(buf, 0, sizeof(buf));
    EXPECT_EQ(uavcan_protocol_GetNodeInfoResponse_encode_internal(&rec, buf, 0, 0), 3015U);
    EXPECT_EQ(rec.name.len, UAVCAN_PROTOCOL_GETNODEINFO_RESPONSE_NAME_MAX_LENGTH);
    for (std::size_t i = UAVCAN_PROTOCOL_GETNODEINFO_RESPONSE_MAX_SIZE; i < sizeof(buf); ++i) {
        EXPECT_EQ(buf[i], 0) << i;
    }

    // At the root the prefix is dropped: one byte less.
    rec.name.len = 100;
    std::memset(buf, 0, sizeof(buf));
    EXPECT_EQ(uavcan_protocol_GetNodeInfoResponse_encode(&rec, buf), UAVCAN_PROTOCOL_GETNODEINFO_RESPONSE_MAX_SIZE - 1U);
    EXPECT_EQ(buf[UAVCAN_PROTOCOL_GETNODEINFO_RESPONSE_MAX_SIZE - 2], 'n');
    EXPECT_EQ(buf[UAVCAN_PROTOCOL_GETNODEINFO_RESPONSE_MAX_SIZE - 1], 0);
}

TEST(DsdlGetNodeInfo, NestedCertificateCarriesItsPrefixAndNameIsTheTail)
{
    uint8_t cert[] = {'A', 'B'};
    uint8_t name[] = {'x'};
    uavcan_protocol_GetNodeInfoResponse rec{};
    rec.hardware_version.certificate_of_authenticity.len = 2;
    rec.hardware_version.certificate_of_authenticity.data = cert;
    rec.name.len = 1;
    rec.name.data = name;
    uint8_t buf[UAVCAN_PROTOCOL_GETNODEINFO_RESPONSE_MAX_SIZE] = {};
    // status 7 + software 15 + hardware 2 + 16 + prefix 1 + 2 + name 1
    ASSERT_EQ(uavcan_protocol_GetNodeInfoResponse_encode(&rec, buf), 44U);
    EXPECT_EQ(Bytes(buf + 40, buf + 44), (Bytes{0x02, 'A', 'B', 'x'}));

    // Nested in something else, the name keeps its 7-bit prefix.
    uint8_t nested[UAVCAN_PROTOCOL_GETNODEINFO_RESPONSE_MAX_SIZE] = {};
    EXPECT_EQ(uavcan_protocol_GetNodeInfoResponse_encode_internal(&rec, nested, 0, 0), 43U * 8 + 7 + 8);
    EXPECT_EQ(nested[43], 0x01 << 1);  // 7-bit length 1, then the top bit of 'x'
}

// ---------------------------------------------------------------------------------------------------------
// Allocation

TEST(DsdlAllocation, SaturatesNodeIdAndUniqueIdLength)
{
    uint8_t uid[20];
    for (uint8_t i = 0; i < 20; ++i) {
        uid[i] = i;
    }
    uavcan_protocol_dynamic_node_id_Allocation rec{200, true, {20, uid}};
    uint8_t buf[UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_MAX_SIZE + 4] = {};
    EXPECT_EQ(uavcan_protocol_dynamic_node_id_Allocation_encode(&rec, buf), 17U);
    EXPECT_EQ(rec.node_id, 127);
    EXPECT_EQ(rec.unique_id.len, 16);
    EXPECT_EQ(buf[0], 0xFF);  // node ID 127, first part
    EXPECT_EQ(buf[16], 15);
    EXPECT_EQ(buf[17], 0);

    // Nested, the unique ID carries its 5-bit prefix: 8 + 5 + 16 * 8 bits.
    uint8_t nested[UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_MAX_SIZE] = {};
    EXPECT_EQ(uavcan_protocol_dynamic_node_id_Allocation_encode_internal(&rec, nested, 0, 0), 141U);
    EXPECT_EQ(nested[1] >> 3, 16);
}

TEST(DsdlAllocation, TailArrayLengthComesFromThePayload)
{
    const Payload seven({0x01, 0, 1, 2, 3, 4, 5});
    Arena arena(UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_DYN_ARR_BUF_SIZE);
    uavcan_protocol_dynamic_node_id_Allocation rec{};
    EXPECT_EQ(uavcan_protocol_dynamic_node_id_Allocation_decode_internal(seven.transfer(), seven.len(), &rec,
                                                                          arena.cursor(), 0),
              56);
    EXPECT_EQ(rec.node_id, 0);
    EXPECT_TRUE(rec.first_part_of_unique_id);
    ASSERT_EQ(rec.unique_id.len, 6);
    EXPECT_EQ(rec.unique_id.data, arena.begin());
    EXPECT_EQ(Bytes(rec.unique_id.data, rec.unique_id.data + 6), (Bytes{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(arena.used(), 6U);

    // Only the node ID and flag: an empty unique ID.
    const Payload one({0xFE});
    EXPECT_EQ(uavcan_protocol_dynamic_node_id_Allocation_decode_internal(one.transfer(), one.len(), &rec, nullptr, 0), 8);
    EXPECT_EQ(rec.node_id, 127);
    EXPECT_FALSE(rec.first_part_of_unique_id);
    EXPECT_EQ(rec.unique_id.len, 0);
}

TEST(DsdlAllocation, OversizedTailIsCutToSixteenBytesWithinTheArena)
{
    Bytes bytes{0x0A << 1};
    for (uint8_t i = 0; i < 17; ++i) {
        bytes.push_back(static_cast<uint8_t>(0x80 + i));
    }
    const Payload p(bytes);  // 18 bytes: 17 unique-ID bytes on the wire
    Arena arena(UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_DYN_ARR_BUF_SIZE);
    uavcan_protocol_dynamic_node_id_Allocation rec{};
    // The offset tells where decoding stopped: after the 16 bytes taken.
    EXPECT_EQ(uavcan_protocol_dynamic_node_id_Allocation_decode_internal(p.transfer(), p.len(), &rec, arena.cursor(), 0),
              8 + 16 * 8);
    EXPECT_EQ(rec.node_id, 10);
    ASSERT_EQ(rec.unique_id.len, 16);
    EXPECT_EQ(rec.unique_id.data[15], 0x8F);
    EXPECT_EQ(arena.used(), 16U);
    EXPECT_TRUE(arena.guardsIntact());
}

TEST(DsdlAllocation, NestedLengthPrefixIsReadAndCut)
{
    // Prefix 3: three bytes follow.
    const Bytes three = BitWriter().put(7, 5).put(1, 0).put(5, 3).bytes({7, 8, 9}).done();
    const Payload p3(three);
    Arena arena(UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_DYN_ARR_BUF_SIZE);
    uavcan_protocol_dynamic_node_id_Allocation rec{};
    EXPECT_EQ(uavcan_protocol_dynamic_node_id_Allocation_decode_internal(p3.transfer(), 0, &rec, arena.cursor(), 0),
              8 + 5 + 24);
    EXPECT_EQ(Bytes(rec.unique_id.data, rec.unique_id.data + rec.unique_id.len), (Bytes{7, 8, 9}));

    // Prefix 31 with 31 bytes present: 16 are taken.
    Bytes many(31, 0x33);
    const Payload p31(BitWriter().put(7, 5).put(1, 0).put(5, 31).bytes(many).done());
    Arena arena2(UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_DYN_ARR_BUF_SIZE);
    EXPECT_EQ(uavcan_protocol_dynamic_node_id_Allocation_decode_internal(p31.transfer(), 0, &rec, arena2.cursor(), 0),
              8 + 5 + 16 * 8);
    EXPECT_EQ(rec.unique_id.len, 16);
    EXPECT_TRUE(arena2.guardsIntact());

    // Prefix 31 with only 4 bytes present: short, and len counts the bytes actually stored.
    const Payload cut(BitWriter().put(7, 5).put(1, 0).put(5, 31).bytes({1, 2, 3, 4}).done());
    Arena arena3(UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_DYN_ARR_BUF_SIZE);
    EXPECT_EQ(uavcan_protocol_dynamic_node_id_Allocation_decode_internal(cut.transfer(), 0, &rec, arena3.cursor(), 0),
              SHORT);
    EXPECT_EQ(rec.unique_id.len, 4);
    EXPECT_TRUE(arena3.guardsIntact());
}

TEST(DsdlAllocation, ShortPayloadsAndLengthsBeyondTheTransfer)
{
    uavcan_protocol_dynamic_node_id_Allocation rec{};
    rec.unique_id.len = 9;
    const Payload empty(Bytes{});
    EXPECT_EQ(uavcan_protocol_dynamic_node_id_Allocation_decode_internal(empty.transfer(), 1, &rec, nullptr, 0), SHORT);

    // A payload_len above the transfer's own: the missing bytes are never read, the result is negative.
    const Payload seven({0x01, 0, 1, 2, 3, 4, 5});
    Arena arena(UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_DYN_ARR_BUF_SIZE);
    EXPECT_EQ(uavcan_protocol_dynamic_node_id_Allocation_decode_internal(seven.transfer(), 18, &rec, arena.cursor(), 0),
              SHORT);
    EXPECT_EQ(rec.unique_id.len, 6);
    EXPECT_TRUE(arena.guardsIntact());

    EXPECT_EQ(uavcan_protocol_dynamic_node_id_Allocation_decode_internal(seven.transfer(), 7, &rec, nullptr, -1),
              -XPORT_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(uavcan_protocol_dynamic_node_id_Allocation_decode_internal(nullptr, 7, &rec, nullptr, 0),
              -XPORT_ERROR_INVALID_ARGUMENT);
}

TEST(DsdlAllocation, WithoutAnArenaBytesAreCheckedButNotStored)
{
    const Payload p({0x01, 0, 1, 2});
    uavcan_protocol_dynamic_node_id_Allocation rec{};
    EXPECT_EQ(uavcan_protocol_dynamic_node_id_Allocation_decode_internal(p.transfer(), p.len(), &rec, nullptr, 0), 32);
    EXPECT_EQ(rec.unique_id.len, 3);
    EXPECT_EQ(rec.unique_id.data, nullptr);
    const Payload cut(BitWriter().put(7, 5).put(1, 0).put(5, 9).bytes({1, 2}).done());
    EXPECT_EQ(uavcan_protocol_dynamic_node_id_Allocation_decode_internal(cut.transfer(), 0, &rec, nullptr, 0), SHORT);
}

// ---------------------------------------------------------------------------------------------------------
// GetSet

struct RequestFields {
    uint16_t index;
    uavcan_protocol_param_Value value;
    Bytes name;
};

Bytes encodeRequest(RequestFields fields)
{
    uint8_t buf[UAVCAN_PROTOCOL_PARAM_GETSET_REQUEST_MAX_SIZE + 200] = {};
    xportEncodeScalar(buf, 0, 13, &fields.index);
    uint32_t offset = uavcan_protocol_param_Value_encode_internal(&fields.value, buf, 13, 0);
    for (const uint8_t c : fields.name) {
        xportEncodeScalar(buf, offset, 8, &c);
        offset += 8;
    }
    return Bytes(buf, buf + (offset + 7) / 8);
}

TEST(DsdlGetSet, RequestWithStringValueKeepsNameAfterItInTheArena)
{
    uint8_t text[] = {'o', 'n'};
    uavcan_protocol_param_Value value{};
    value.union_tag = UAVCAN_PROTOCOL_PARAM_VALUE_STRING_VALUE;
    value.string_value.len = 2;
    value.string_value.data = text;
    const Bytes bytes = encodeRequest({300, value, dsdltest::fromText("MODE")});
    ASSERT_EQ(bytes.size(), 2U + 1U + 2U + 4U);  // index and tag, prefix, string, name
    EXPECT_EQ(bytes[2], 2);                       // the nested string's 8-bit prefix

    const Payload p(bytes);
    Arena arena(UAVCAN_PROTOCOL_PARAM_GETSET_REQUEST_DYN_ARR_BUF_SIZE);
    uavcan_protocol_param_GetSetRequest rec;
    EXPECT_EQ(uavcan_protocol_param_GetSetRequest_decode(p.transfer(), p.len(), &rec, arena.cursor()), 72);
    EXPECT_EQ(rec.index, 300);
    ASSERT_EQ(rec.value.union_tag, UAVCAN_PROTOCOL_PARAM_VALUE_STRING_VALUE);
    ASSERT_EQ(rec.value.string_value.len, 2);
    EXPECT_EQ(rec.value.string_value.data, arena.begin());
    EXPECT_EQ(rec.name.data, arena.begin() + 2);
    EXPECT_EQ(Bytes(arena.begin(), arena.begin() + 6), dsdltest::fromText("onMODE"));
    EXPECT_EQ(rec.name.len, 4);
    EXPECT_EQ(arena.used(), 6U);
}

TEST(DsdlGetSet, RequestScalarValuesAndTheEmptyValue)
{
    uavcan_protocol_param_Value value{};
    value.union_tag = UAVCAN_PROTOCOL_PARAM_VALUE_REAL_VALUE;
    value.real_value = -2.5F;
    uavcan_protocol_param_GetSetRequest rec;
    {
        const Payload p(encodeRequest({8191, value, dsdltest::fromText("K")}));
        EXPECT_EQ(uavcan_protocol_param_GetSetRequest_decode(p.transfer(), p.len(), &rec, nullptr), 16 + 32 + 8);
        EXPECT_EQ(rec.index, 8191);
        EXPECT_EQ(rec.value.union_tag, UAVCAN_PROTOCOL_PARAM_VALUE_REAL_VALUE);
        EXPECT_EQ(rec.value.real_value, -2.5F);
        EXPECT_EQ(rec.name.len, 1);
    }
    {
        value.union_tag = UAVCAN_PROTOCOL_PARAM_VALUE_BOOLEAN_VALUE;
        value.boolean_value = 1;
        const Payload p(encodeRequest({1, value, {}}));
        EXPECT_EQ(uavcan_protocol_param_GetSetRequest_decode(p.transfer(), p.len(), &rec, nullptr), 24);
        EXPECT_EQ(rec.value.boolean_value, 1);
        EXPECT_EQ(rec.name.len, 0);
    }
    {
        value.union_tag = UAVCAN_PROTOCOL_PARAM_VALUE_INTEGER_VALUE;
        value.integer_value = INT64_MIN;
        const Payload p(encodeRequest({2, value, {}}));
        EXPECT_EQ(uavcan_protocol_param_GetSetRequest_decode(p.transfer(), p.len(), &rec, nullptr), 80);
        EXPECT_EQ(rec.value.integer_value, INT64_MIN);
    }
    {
        // A read request: empty value, name only.
        value.union_tag = UAVCAN_PROTOCOL_PARAM_VALUE_EMPTY;
        const Payload p(encodeRequest({0, value, dsdltest::fromText("NETID0")}));
        Arena arena(UAVCAN_PROTOCOL_PARAM_GETSET_REQUEST_DYN_ARR_BUF_SIZE);
        EXPECT_EQ(uavcan_protocol_param_GetSetRequest_decode(p.transfer(), p.len(), &rec, arena.cursor()), 16 + 48);
        EXPECT_EQ(rec.value.union_tag, UAVCAN_PROTOCOL_PARAM_VALUE_EMPTY);
        EXPECT_EQ(Bytes(rec.name.data, rec.name.data + rec.name.len), dsdltest::fromText("NETID0"));
    }
}

TEST(DsdlGetSet, UnknownValueTagEndsTheValueAfterTheTag)
{
    for (uint8_t tag = 5; tag <= 7; ++tag) {
        const Payload p(BitWriter().put(13, 4).put(3, tag).bytes(dsdltest::fromText("AB")).done());
        uavcan_protocol_param_Value value{};
        EXPECT_EQ(uavcan_protocol_param_Value_decode_internal(p.transfer(), 0, &value, nullptr, 13), 16);
        EXPECT_EQ(value.union_tag, tag);

        // In a request the name then follows straight after the tag.
        Arena arena(UAVCAN_PROTOCOL_PARAM_GETSET_REQUEST_DYN_ARR_BUF_SIZE);
        uavcan_protocol_param_GetSetRequest rec;
        EXPECT_EQ(uavcan_protocol_param_GetSetRequest_decode(p.transfer(), p.len(), &rec, arena.cursor()), 32);
        EXPECT_EQ(rec.index, 4);
        EXPECT_EQ(Bytes(rec.name.data, rec.name.data + rec.name.len), dsdltest::fromText("AB"));
    }
}

TEST(DsdlGetSet, OversizedStringPrefixAndNameAreCutWithinTheArena)
{
    // A string prefix of 255 with 255 bytes present, then more: 128 string bytes and 92 name bytes at most.
    BitWriter w;
    w.put(13, 0).put(3, UAVCAN_PROTOCOL_PARAM_VALUE_STRING_VALUE).put(8, 255);
    for (int i = 0; i < 255 + 120; ++i) {
        w.put(8, static_cast<uint8_t>(i));
    }
    const Payload p(w.done());
    Arena arena(UAVCAN_PROTOCOL_PARAM_GETSET_REQUEST_DYN_ARR_BUF_SIZE);
    uavcan_protocol_param_GetSetRequest rec;
    EXPECT_EQ(uavcan_protocol_param_GetSetRequest_decode(p.transfer(), p.len(), &rec, arena.cursor()),
              24 + (128 + 92) * 8);
    EXPECT_EQ(rec.value.string_value.len, 128);
    EXPECT_EQ(rec.name.len, 92);
    EXPECT_EQ(rec.name.data[0], 128);  // the name starts where the string was cut
    EXPECT_EQ(arena.used(), UAVCAN_PROTOCOL_PARAM_GETSET_REQUEST_DYN_ARR_BUF_SIZE);
    EXPECT_TRUE(arena.guardsIntact());
}

TEST(DsdlGetSet, ShortRequestsFailAndTheRootFormClearsTheRecord)
{
    uavcan_protocol_param_GetSetRequest rec;
    std::memset(&rec, 0x5A, sizeof(rec));
    const Payload one({0x12});
    EXPECT_EQ(uavcan_protocol_param_GetSetRequest_decode(one.transfer(), one.len(), &rec, nullptr), SHORT);
    EXPECT_EQ(rec.index, 0);
    EXPECT_EQ(rec.name.len, 0);
    EXPECT_EQ(rec.name.data, nullptr);

    // An integer value cut short inside its 64 bits.
    const Payload cut(BitWriter().put(13, 1).put(3, UAVCAN_PROTOCOL_PARAM_VALUE_INTEGER_VALUE).put(32, 7U).done());
    EXPECT_EQ(uavcan_protocol_param_GetSetRequest_decode(cut.transfer(), cut.len(), &rec, nullptr), SHORT);
    EXPECT_EQ(rec.index, 1);
    EXPECT_EQ(rec.value.integer_value, 0);

    // A string whose prefix promises more than there is.
    const Payload str(BitWriter().put(13, 1).put(3, UAVCAN_PROTOCOL_PARAM_VALUE_STRING_VALUE).put(8, 10).bytes({1, 2}).done());
    Arena arena(UAVCAN_PROTOCOL_PARAM_GETSET_REQUEST_DYN_ARR_BUF_SIZE);
    EXPECT_EQ(uavcan_protocol_param_GetSetRequest_decode(str.transfer(), str.len(), &rec, arena.cursor()), SHORT);
    EXPECT_EQ(rec.value.string_value.len, 2);
}

TEST(DsdlGetSet, ResponseLayoutHasVoidFieldsBeforeEachValue)
{
    uavcan_protocol_param_GetSetResponse rec{};
    rec.value.union_tag = UAVCAN_PROTOCOL_PARAM_VALUE_INTEGER_VALUE;
    rec.value.integer_value = 7;
    rec.default_value.union_tag = UAVCAN_PROTOCOL_PARAM_VALUE_INTEGER_VALUE;
    rec.default_value.integer_value = 5;
    rec.max_value.union_tag = UAVCAN_PROTOCOL_PARAM_NUMERICVALUE_INTEGER_VALUE;
    rec.max_value.integer_value = 100;
    rec.min_value.union_tag = UAVCAN_PROTOCOL_PARAM_NUMERICVALUE_INTEGER_VALUE;
    rec.min_value.integer_value = -3;
    uint8_t name[] = {'X'};
    rec.name.len = 1;
    rec.name.data = name;

    uint8_t buf[UAVCAN_PROTOCOL_PARAM_GETSET_RESPONSE_MAX_SIZE];
    std::memset(buf, 0xFF, sizeof(buf));  // void bits are written as zeros, not left alone
    ASSERT_EQ(uavcan_protocol_param_GetSetResponse_encode(&rec, buf), 37U);
    const Bytes expected{0x01, 7,    0,    0,    0,    0,    0,    0,    0,    // void5, tag 1, value
                         0x01, 5,    0,    0,    0,    0,    0,    0,    0,    // void5, tag 1, default
                         0x01, 100,  0,    0,    0,    0,    0,    0,    0,    // void6, tag 1, max
                         0x01, 0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // void6, tag 1, min
                         'X'};
    EXPECT_EQ(Bytes(buf, buf + 37), expected);
}

TEST(DsdlGetSet, ResponseWithEmptyRealAndStringValues)
{
    uavcan_protocol_param_GetSetResponse rec{};
    uint8_t buf[UAVCAN_PROTOCOL_PARAM_GETSET_RESPONSE_MAX_SIZE] = {};
    // Unknown parameter: everything empty, no name.
    EXPECT_EQ(uavcan_protocol_param_GetSetResponse_encode(&rec, buf), 4U);

    uint8_t text[] = {'h', 'i'};
    rec.value.union_tag = UAVCAN_PROTOCOL_PARAM_VALUE_STRING_VALUE;
    rec.value.string_value.len = 2;
    rec.value.string_value.data = text;
    rec.default_value.union_tag = UAVCAN_PROTOCOL_PARAM_VALUE_REAL_VALUE;
    rec.default_value.real_value = 1.5F;
    std::memset(buf, 0, sizeof(buf));
    // 5+3 | 8 prefix | 16 string | 5+3 | 32 real | 6+2 | 6+2
    ASSERT_EQ(uavcan_protocol_param_GetSetResponse_encode(&rec, buf), 11U);
    EXPECT_EQ(Bytes(buf, buf + 11), (Bytes{0x04, 0x02, 'h', 'i', 0x02, 0x00, 0x00, 0xC0, 0x3F, 0x00, 0x00}));
}

TEST(DsdlGetSet, ResponseNameIsCutToItsMaximum)
{
    uint8_t name[120];
    std::memset(name, 'N', sizeof(name));
    uavcan_protocol_param_GetSetResponse rec{};
    rec.name.len = sizeof(name);
    rec.name.data = name;
    uint8_t buf[UAVCAN_PROTOCOL_PARAM_GETSET_RESPONSE_MAX_SIZE] = {};
    EXPECT_EQ(uavcan_protocol_param_GetSetResponse_encode(&rec, buf), 4U + 92U);
    EXPECT_EQ(rec.name.len, UAVCAN_PROTOCOL_PARAM_GETSET_RESPONSE_NAME_MAX_LENGTH);
}

TEST(DsdlGetSetDeathTest, EncodingAnInvalidUnionTagIsAFatalStop)
{
    uavcan_protocol_param_GetSetResponse rec{};
    uint8_t buf[UAVCAN_PROTOCOL_PARAM_GETSET_RESPONSE_MAX_SIZE] = {};
    rec.value.union_tag = static_cast<uavcan_protocol_param_Value_type_t>(5);
    EXPECT_DEATH(uavcan_protocol_param_GetSetResponse_encode(&rec, buf), "fatal stop");
    rec.value.union_tag = UAVCAN_PROTOCOL_PARAM_VALUE_EMPTY;
    rec.max_value.union_tag = static_cast<uavcan_protocol_param_NumericValue_type_t>(3);
    EXPECT_DEATH(uavcan_protocol_param_GetSetResponse_encode(&rec, buf), "fatal stop");
}

// ---------------------------------------------------------------------------------------------------------
// ArrayCommand

Bytes commandBytes(uint8_t id, uint8_t type, uint16_t half)
{
    return {id, type, static_cast<uint8_t>(half & 0xFF), static_cast<uint8_t>(half >> 8)};
}

TEST(DsdlArrayCommand, TailCountFromThePayloadRestIgnored)
{
    Bytes eight = commandBytes(1, 0, 0x3C00);
    const Bytes second = commandBytes(2, 3, 0xC000);
    eight.insert(eight.end(), second.begin(), second.end());
    for (std::size_t extra = 0; extra < 4; ++extra) {
        Bytes bytes = eight;
        bytes.resize(8 + extra, 0xEE);
        const Payload p(bytes);
        Arena arena(UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_DYN_ARR_BUF_SIZE);
        uavcan_equipment_actuator_ArrayCommand rec{};
        EXPECT_EQ(uavcan_equipment_actuator_ArrayCommand_decode_internal(p.transfer(), p.len(), &rec, arena.cursor(), 0), 64);
        ASSERT_EQ(rec.commands.len, 2);
        EXPECT_EQ(rec.commands.data, reinterpret_cast<uavcan_equipment_actuator_Command*>(arena.begin()));
        EXPECT_EQ(rec.commands.data[0].actuator_id, 1);
        EXPECT_EQ(rec.commands.data[0].command_value, 1.0F);
        EXPECT_EQ(rec.commands.data[1].command_type, UAVCAN_EQUIPMENT_ACTUATOR_COMMAND_COMMAND_TYPE_SPEED);
        EXPECT_EQ(rec.commands.data[1].command_value, -2.0F);
        EXPECT_EQ(arena.used(), 0U);  // whole records are placed, the cursor stays
    }
}

TEST(DsdlArrayCommand, HalfPrecisionSpecialValues)
{
    Bytes bytes;
    for (const int h : {0x7C00, 0xFC00, 0x7E00, 0x0001, 0x8000}) {
        const Bytes c = commandBytes(0, 0, static_cast<uint16_t>(h));
        bytes.insert(bytes.end(), c.begin(), c.end());
    }
    const Payload p(bytes);
    Arena arena(UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_DYN_ARR_BUF_SIZE);
    uavcan_equipment_actuator_ArrayCommand rec{};
    ASSERT_EQ(uavcan_equipment_actuator_ArrayCommand_decode_internal(p.transfer(), p.len(), &rec, arena.cursor(), 0), 160);
    EXPECT_TRUE(std::isinf(rec.commands.data[0].command_value) && rec.commands.data[0].command_value > 0);
    EXPECT_TRUE(std::isinf(rec.commands.data[1].command_value) && rec.commands.data[1].command_value < 0);
    EXPECT_TRUE(std::isnan(rec.commands.data[2].command_value));
    EXPECT_EQ(rec.commands.data[3].command_value, std::ldexp(1.0F, -24));
    EXPECT_TRUE(std::signbit(rec.commands.data[4].command_value));
}

TEST(DsdlArrayCommand, SixteenCommandsAreCutToFifteenWithinTheArena)
{
    Bytes bytes;
    for (uint8_t i = 0; i < 16; ++i) {
        const Bytes c = commandBytes(i, 0, 0x3800);
        bytes.insert(bytes.end(), c.begin(), c.end());
    }
    const Payload p(bytes);
    Arena arena(UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_DYN_ARR_BUF_SIZE);
    uavcan_equipment_actuator_ArrayCommand rec{};
    EXPECT_EQ(uavcan_equipment_actuator_ArrayCommand_decode_internal(p.transfer(), p.len(), &rec, arena.cursor(), 0),
              15 * 32);
    ASSERT_EQ(rec.commands.len, 15);
    EXPECT_EQ(rec.commands.data[14].actuator_id, 14);
    EXPECT_EQ(rec.commands.data[14].command_value, 0.5F);
    EXPECT_TRUE(arena.guardsIntact());
}

TEST(DsdlArrayCommand, NestedFormReadsThePrefixAndStopsAtAShortElement)
{
    const Bytes whole = BitWriter().put(4, 2).bytes(commandBytes(3, 0, 0x3C00)).bytes(commandBytes(4, 1, 0)).done();
    {
        const Payload p(whole);
        Arena arena(UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_DYN_ARR_BUF_SIZE);
        uavcan_equipment_actuator_ArrayCommand rec{};
        EXPECT_EQ(uavcan_equipment_actuator_ArrayCommand_decode_internal(p.transfer(), 0, &rec, arena.cursor(), 0), 68);
        ASSERT_EQ(rec.commands.len, 2);
        EXPECT_EQ(rec.commands.data[1].actuator_id, 4);
        EXPECT_EQ(rec.commands.data[1].command_type, 1);
    }
    {
        const Payload p(Bytes(whole.begin(), whole.end() - 2));  // the second element lacks its value
        Arena arena(UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_DYN_ARR_BUF_SIZE);
        uavcan_equipment_actuator_ArrayCommand rec{};
        EXPECT_EQ(uavcan_equipment_actuator_ArrayCommand_decode_internal(p.transfer(), 0, &rec, arena.cursor(), 0),
                  SHORT);
        EXPECT_EQ(rec.commands.len, 1);
        // Without an arena the elements are still checked.
        EXPECT_EQ(uavcan_equipment_actuator_ArrayCommand_decode_internal(p.transfer(), 0, &rec, nullptr, 0), SHORT);
        EXPECT_EQ(uavcan_equipment_actuator_ArrayCommand_decode_internal(p.transfer(), p.len(), &rec, nullptr, 0), 32);
        EXPECT_EQ(rec.commands.len, 1);
    }
    {
        const Payload empty(Bytes{});
        uavcan_equipment_actuator_ArrayCommand rec{};
        rec.commands.len = 7;
        EXPECT_EQ(uavcan_equipment_actuator_ArrayCommand_decode_internal(empty.transfer(), 0, &rec, nullptr, 0), SHORT);
        EXPECT_EQ(rec.commands.len, 0);
    }
}

TEST(DsdlArrayCommandDeathTest, MisalignedArenaIsAFatalStop)
{
    const Payload p(commandBytes(1, 0, 0));
    alignas(8) uint8_t arena[UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_DYN_ARR_BUF_SIZE + 8];
    uint8_t* cursor = arena + 1;
    uavcan_equipment_actuator_ArrayCommand rec{};
    EXPECT_DEATH(uavcan_equipment_actuator_ArrayCommand_decode_internal(p.transfer(), p.len(), &rec, &cursor, 0),
                 "fatal stop");
}

// ---------------------------------------------------------------------------------------------------------
// RawCommand

Bytes rawValues(std::initializer_list<int16_t> values)
{
    BitWriter w;
    for (const int16_t v : values) {
        w.put(14, v);
    }
    return w.done();
}

TEST(DsdlRawCommand, SevenAndEightBytesBothHoldFourValues)
{
    for (const Bytes& bytes : {dsdltest::fromHex("00012D0F57FFDF"), dsdltest::fromHex("00012D0F57FFDFFF")}) {
        const Payload p(bytes);
        Arena arena(UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_DYN_ARR_BUF_SIZE);
        uavcan_equipment_esc_RawCommand rec{};
        EXPECT_EQ(uavcan_equipment_esc_RawCommand_decode_internal(p.transfer(), p.len(), &rec, arena.cursor(), 0), 56);
        ASSERT_EQ(rec.cmd.len, 4);
        EXPECT_EQ(rec.cmd.data[1], 4171);
        EXPECT_EQ(rec.cmd.data[3], 8191);
        EXPECT_EQ(arena.used(), 4 * sizeof(int16_t));
    }
}

TEST(DsdlRawCommand, NegativeValuesAreSignExtended)
{
    const Payload p(rawValues({-1, -8192, 8191, 0, -160}));
    Arena arena(UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_DYN_ARR_BUF_SIZE);
    uavcan_equipment_esc_RawCommand rec{};
    EXPECT_EQ(uavcan_equipment_esc_RawCommand_decode_internal(p.transfer(), p.len(), &rec, arena.cursor(), 0), 70);
    ASSERT_EQ(rec.cmd.len, 5);
    EXPECT_EQ(rec.cmd.data[0], -1);
    EXPECT_EQ(rec.cmd.data[1], -8192);
    EXPECT_EQ(rec.cmd.data[2], 8191);
    EXPECT_EQ(rec.cmd.data[3], 0);
    EXPECT_EQ(rec.cmd.data[4], -160);
}

TEST(DsdlRawCommand, MoreThanTwentyValuesAreCutWithinTheArena)
{
    const Payload full(Bytes(36, 0));  // 288 bits: exactly 20 values
    const Payload over(Bytes(40, 0x11));  // 320 bits: 22 on the wire
    for (const Payload* p : {&full, &over}) {
        Arena arena(UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_DYN_ARR_BUF_SIZE);
        uavcan_equipment_esc_RawCommand rec{};
        EXPECT_EQ(uavcan_equipment_esc_RawCommand_decode_internal(p->transfer(), p->len(), &rec, arena.cursor(), 0),
                  20 * 14);
        EXPECT_EQ(rec.cmd.len, 20);
        EXPECT_EQ(arena.used(), UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_DYN_ARR_BUF_SIZE);
        EXPECT_TRUE(arena.guardsIntact());
    }
}

TEST(DsdlRawCommand, NestedPrefixIsCutToTwenty)
{
    BitWriter w;
    w.put(5, 31);
    for (int16_t i = 0; i < 31; ++i) {
        w.put(14, static_cast<int16_t>(-i));
    }
    const Payload p(w.done());
    Arena arena(UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_DYN_ARR_BUF_SIZE);
    uavcan_equipment_esc_RawCommand rec{};
    EXPECT_EQ(uavcan_equipment_esc_RawCommand_decode_internal(p.transfer(), 0, &rec, arena.cursor(), 0), 5 + 20 * 14);
    ASSERT_EQ(rec.cmd.len, 20);
    EXPECT_EQ(rec.cmd.data[19], -19);
    EXPECT_TRUE(arena.guardsIntact());
}

TEST(DsdlRawCommandDeathTest, MisalignedArenaIsAFatalStop)
{
    const Payload p(rawValues({1}));
    alignas(8) uint8_t arena[UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_DYN_ARR_BUF_SIZE + 2];
    uint8_t* cursor = arena + 1;
    uavcan_equipment_esc_RawCommand rec{};
    EXPECT_DEATH(uavcan_equipment_esc_RawCommand_decode_internal(p.transfer(), p.len(), &rec, &cursor, 0), "fatal stop");
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// Service responses: RestartNode, GetTransportStats, ExecuteOpcode

// ---------------------------------------------------------------------------------------------------------
// Panic

TEST(DsdlPanic, TheTextIsTheTailAtTheRootAndPrefixedNestedCutToSeven)
{
    uint8_t text[9] = {'E', 'N', 'G', 'I', 'N', 'E', '1', '2', '3'};
    uavcan_protocol_Panic msg{{9, text}};
    uint8_t buffer[UAVCAN_PROTOCOL_PANIC_MAX_SIZE] = {};
    EXPECT_EQ(uavcan_protocol_Panic_encode(&msg, buffer), 7U);
    EXPECT_EQ(msg.reason_text.len, 7) << "the limited length is written back";
    EXPECT_EQ(Bytes(buffer, buffer + 7), Bytes(text, text + 7));

    const Payload eight({'S', 'T', 'O', 'P', 'S', 'T', 'O', 'P'});
    Arena arena(UAVCAN_PROTOCOL_PANIC_DYN_ARR_BUF_SIZE);
    uavcan_protocol_Panic rec{};
    EXPECT_EQ(uavcan_protocol_Panic_decode(eight.transfer(), eight.len(), &rec, arena.cursor()), 56);
    EXPECT_EQ(Bytes(rec.reason_text.data, rec.reason_text.data + rec.reason_text.len),
              (Bytes{'S', 'T', 'O', 'P', 'S', 'T', 'O'}));
    EXPECT_TRUE(arena.guardsIntact());

    // Nested: a 3-bit prefix, then that many bytes.
    const Payload nested(BitWriter().put(3, 2).bytes({'O', 'K'}).done());
    Arena arena2(UAVCAN_PROTOCOL_PANIC_DYN_ARR_BUF_SIZE);
    EXPECT_EQ(uavcan_protocol_Panic_decode_internal(nested.transfer(), 0, &rec, arena2.cursor(), 0), 3 + 16);
    EXPECT_EQ(Bytes(rec.reason_text.data, rec.reason_text.data + rec.reason_text.len), (Bytes{'O', 'K'}));
}

// ---------------------------------------------------------------------------------------------------------
// LogMessage

TEST(DsdlLogMessage, LevelAndSourceLengthShareTheFirstByteAndTheTextIsTheTail)
{
    const uint8_t source[] = {'C', 'A', 'N', '2'};
    const uint8_t text[] = {'o', 'k'};
    uavcan_protocol_debug_LogMessage msg{UAVCAN_PROTOCOL_DEBUG_LOGLEVEL_WARNING, {4, source}, {2, text}};
    uint8_t buffer[UAVCAN_PROTOCOL_DEBUG_LOGMESSAGE_MAX_SIZE];
    std::memset(buffer, 0xFF, sizeof buffer);
    ASSERT_EQ(uavcan_protocol_debug_LogMessage_encode(&msg, buffer), 7U);
    EXPECT_EQ(Bytes(buffer, buffer + 7), (Bytes{0x44, 'C', 'A', 'N', '2', 'o', 'k'}));  // 010 00100

    // A level and lengths beyond the type's are cut to 7, 31 and 90 and written back.
    const Bytes long_text(200, 'x');
    uavcan_protocol_debug_LogMessage big{9, {40, long_text.data()}, {200, long_text.data()}};
    ASSERT_EQ(uavcan_protocol_debug_LogMessage_encode(&big, buffer), UAVCAN_PROTOCOL_DEBUG_LOGMESSAGE_MAX_SIZE);
    EXPECT_EQ(big.source.len, 31);
    EXPECT_EQ(big.text.len, 90);
    EXPECT_EQ(big.level, 7);
    EXPECT_EQ(buffer[0], 0xFF);
    EXPECT_EQ(UAVCAN_PROTOCOL_DEBUG_LOGMESSAGE_MAX_SIZE, 122);
}

// ---------------------------------------------------------------------------------------------------------
// GetDataTypeInfo

TEST(DsdlGetDataTypeInfo, RequestIdKindAndTailNameResponseSignatureFirst)
{
    // ID 341 and kind MESSAGE, then "ab"; the name is cut to what the payload length claims and what the
    // payload holds.
    const Payload request({0x55, 0x01, 1, 'a', 'b'});
    Arena arena(UAVCAN_PROTOCOL_GETDATATYPEINFO_NAME_MAX_LENGTH);
    uavcan_protocol_GetDataTypeInfoRequest rec{};
    EXPECT_EQ(uavcan_protocol_GetDataTypeInfoRequest_decode(request.transfer(), request.len(), &rec, arena.cursor()), 40);
    EXPECT_EQ(rec.id, 341);
    EXPECT_EQ(rec.kind, UAVCAN_PROTOCOL_DATATYPEKIND_MESSAGE);
    EXPECT_EQ(Bytes(rec.name.data, rec.name.data + rec.name.len), (Bytes{'a', 'b'}));
    EXPECT_TRUE(arena.guardsIntact());
    EXPECT_EQ(uavcan_protocol_GetDataTypeInfoRequest_decode(request.transfer(), 4, &rec, nullptr), 32);
    EXPECT_EQ(uavcan_protocol_GetDataTypeInfoRequest_decode(request.transfer(), 9, &rec, nullptr), 40);
    EXPECT_EQ(rec.name.len, 2);
    const Payload short_request({0x55, 0x01});
    EXPECT_EQ(uavcan_protocol_GetDataTypeInfoRequest_decode(short_request.transfer(), 2, &rec, nullptr), SHORT);

    const uint8_t name[] = {'x', 'y', 'z'};
    uavcan_protocol_GetDataTypeInfoResponse response{0x1122334455667788ULL, 0x3FFF, 1, 0x0D, {3, name}};
    uint8_t buffer[UAVCAN_PROTOCOL_GETDATATYPEINFO_RESPONSE_MAX_SIZE];
    ASSERT_EQ(uavcan_protocol_GetDataTypeInfoResponse_encode(&response, buffer), 15U);
    EXPECT_EQ(Bytes(buffer, buffer + 15),
              (Bytes{0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0xFF, 0x3F, 1, 0x0D, 'x', 'y', 'z'}));
    const Bytes long_name(100, 'n');
    response.name = {100, long_name.data()};
    EXPECT_EQ(uavcan_protocol_GetDataTypeInfoResponse_encode(&response, buffer),
              UAVCAN_PROTOCOL_GETDATATYPEINFO_RESPONSE_MAX_SIZE);
    EXPECT_EQ(response.name.len, 80);
}

TEST(DsdlServiceResponses, RestartNodeAndExecuteOpcodeLayouts)
{
    // Into buffers still holding other bytes: the encoders define every byte they report, the bits after
    // the last field (RestartNode's seven) and the void bits (ExecuteOpcode's) included.
    uavcan_protocol_RestartNodeResponse restart{true};
    uint8_t rbuf[UAVCAN_PROTOCOL_RESTARTNODE_RESPONSE_MAX_SIZE];
    std::memset(rbuf, 0xFF, sizeof rbuf);
    ASSERT_EQ(uavcan_protocol_RestartNodeResponse_encode(&restart, rbuf), 1U);
    EXPECT_EQ(rbuf[0], 0x80);

    uavcan_protocol_param_ExecuteOpcodeResponse op{-2, true};
    uint8_t obuf[UAVCAN_PROTOCOL_PARAM_EXECUTEOPCODE_RESPONSE_MAX_SIZE];
    std::memset(obuf, 0xFF, sizeof obuf);
    ASSERT_EQ(uavcan_protocol_param_ExecuteOpcodeResponse_encode(&op, obuf), 7U);
    EXPECT_EQ(Bytes(obuf, obuf + 7), (Bytes{0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x80}));
}

TEST(DsdlServiceResponses, TransportStatsTailArrayHasNoPrefixAndCountersWrapAt48Bits)
{
    uavcan_protocol_CANIfaceStats iface[4] = {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}, {10, 11, 12}};
    uavcan_protocol_GetTransportStatsResponse rec{0x010203040506ULL, (1ULL << 48) + 7, 0x0000FFFFFFFFFFFFULL, {1, iface}};
    uint8_t buf[UAVCAN_PROTOCOL_GETTRANSPORTSTATS_RESPONSE_MAX_SIZE] = {};
    ASSERT_EQ(uavcan_protocol_GetTransportStatsResponse_encode(&rec, buf), 36U);
    EXPECT_EQ(Bytes(buf, buf + 36), (Bytes{0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0x07, 0, 0, 0, 0, 0,
                                            0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0, 0, 0, 0, 0,
                                            0x02, 0, 0, 0, 0, 0, 0x03, 0, 0, 0, 0, 0}));

    // Nested, the 2-bit prefix comes first; more than three interfaces are cut to three.
    rec.can_iface_stats.len = 4;
    std::memset(buf, 0, sizeof(buf));
    EXPECT_EQ(uavcan_protocol_GetTransportStatsResponse_encode_internal(&rec, buf, 0, 0), 578U);
    EXPECT_EQ(rec.can_iface_stats.len, 3);
    EXPECT_EQ(buf[18], 0xC0);  // prefix 11, then the first counter's low bits
}

// ---------------------------------------------------------------------------------------------------------
// file.BeginFirmwareUpdate and file.Read

TEST(DsdlFile, BeginFirmwareUpdateRequestIsTheSourceThenThePath)
{
    using Request = uavcan_protocol_file_BeginFirmwareUpdateRequest;
    const auto path = [](const Request& r) { return Bytes(r.image_file_remote_path.path.data,
                                                          r.image_file_remote_path.path.data +
                                                              r.image_file_remote_path.path.len); };
    // At the root the path is the rest of the payload.
    const Payload root({0x00, 'b', '.', 'b', 'i', 'n'});
    Arena arena(UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_REQUEST_DYN_ARR_BUF_SIZE);
    Request rec{};
    EXPECT_EQ(uavcan_protocol_file_BeginFirmwareUpdateRequest_decode(root.transfer(), root.len(), &rec, arena.cursor()),
              48);
    EXPECT_EQ(rec.source_node_id, 0);
    EXPECT_EQ(path(rec), (Bytes{'b', '.', 'b', 'i', 'n'}));

    // Nested, an 8-bit prefix; a path of more than 200 bytes is cut to 200 inside the arena.
    const Payload nested({0x7D, 0x02, 'o', 'k', 'x'});
    Arena arena2(UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_REQUEST_DYN_ARR_BUF_SIZE);
    EXPECT_EQ(uavcan_protocol_file_BeginFirmwareUpdateRequest_decode_internal(nested.transfer(), 0, &rec,
                                                                              arena2.cursor(), 0),
              32);
    EXPECT_EQ(rec.source_node_id, 125);
    EXPECT_EQ(path(rec), (Bytes{'o', 'k'}));
    const Payload longer(Bytes(1 + 210, 'p'));
    Arena arena3(UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_REQUEST_DYN_ARR_BUF_SIZE);
    EXPECT_EQ(uavcan_protocol_file_BeginFirmwareUpdateRequest_decode(longer.transfer(), longer.len(), &rec,
                                                                     arena3.cursor()),
              8 + 200 * 8);
    EXPECT_EQ(rec.image_file_remote_path.path.len, 200);
    EXPECT_TRUE(arena3.guardsIntact());

    const Payload empty(Bytes{});
    EXPECT_EQ(uavcan_protocol_file_BeginFirmwareUpdateRequest_decode(empty.transfer(), 0, &rec, nullptr), SHORT);
}

TEST(DsdlFile, BeginFirmwareUpdateResponseMessageIsTheTailAtTheRootAndCutTo127)
{
    uint8_t text[130];
    std::memset(text, 'm', sizeof text);
    text[0] = 'b';
    uavcan_protocol_file_BeginFirmwareUpdateResponse rec{1, {4, text}};
    uint8_t buf[UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_RESPONSE_MAX_SIZE];
    std::memset(buf, 0xFF, sizeof buf);
    ASSERT_EQ(uavcan_protocol_file_BeginFirmwareUpdateResponse_encode(&rec, buf), 5U);
    EXPECT_EQ(Bytes(buf, buf + 5), (Bytes{0x01, 'b', 'm', 'm', 'm'}));

    // Nested: error, 7-bit prefix 4, then the text off the byte boundary; 47 bits, the last one cleared.
    std::memset(buf, 0xFF, sizeof buf);
    EXPECT_EQ(uavcan_protocol_file_BeginFirmwareUpdateResponse_encode_internal(&rec, buf, 0, 0), 47U);
    EXPECT_EQ(Bytes(buf, buf + 3), (Bytes{0x01, 0x08, 0xC4}));

    rec.optional_error_message.len = 130;
    EXPECT_EQ(uavcan_protocol_file_BeginFirmwareUpdateResponse_encode(&rec, buf),
              UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_RESPONSE_MAX_SIZE - 1U);
    EXPECT_EQ(rec.optional_error_message.len, 127);
}

TEST(DsdlFile, ReadRequestIsAFortyBitOffsetThenThePath)
{
    uint8_t name[6] = {'f', 'w', '.', 'b', 'i', 'n'};
    uavcan_protocol_file_ReadRequest rec{0x1FF04030201ULL, {{6, name}}};
    uint8_t buf[UAVCAN_PROTOCOL_FILE_READ_REQUEST_MAX_SIZE] = {};
    ASSERT_EQ(uavcan_protocol_file_ReadRequest_encode(&rec, buf), 11U);
    EXPECT_EQ(Bytes(buf, buf + 11), (Bytes{0x01, 0x02, 0x03, 0x04, 0xFF, 'f', 'w', '.', 'b', 'i', 'n'}));

    // Nested, the path's 8-bit prefix follows the offset.
    EXPECT_EQ(uavcan_protocol_file_ReadRequest_encode_internal(&rec, buf, 0, 0), 40U + 8U + 48U);
    EXPECT_EQ(buf[5], 6);
}

TEST(DsdlFile, ReadResponseIsTheErrorThenUpTo256Bytes)
{
    uavcan_protocol_file_ReadResponse rec{};
    Arena arena(UAVCAN_PROTOCOL_FILE_READ_RESPONSE_DYN_ARR_BUF_SIZE);
    const Payload some({0x00, 0x00, 'd', 'a', 't'});
    EXPECT_EQ(uavcan_protocol_file_ReadResponse_decode(some.transfer(), some.len(), &rec, arena.cursor()), 40);
    EXPECT_EQ(rec.error, UAVCAN_PROTOCOL_FILE_ERROR_OK);
    EXPECT_EQ(Bytes(rec.data.data, rec.data.data + rec.data.len), (Bytes{'d', 'a', 't'}));

    const Payload missing({0xFE, 0xFF});
    EXPECT_EQ(uavcan_protocol_file_ReadResponse_decode(missing.transfer(), missing.len(), &rec, nullptr), 16);
    EXPECT_EQ(rec.error, -2);
    EXPECT_EQ(rec.data.len, 0);

    // A whole block is 256 bytes, more than a byte counts; beyond it nothing is stored.
    Bytes block(2 + 300, 0x5A);
    block[0] = block[1] = 0;
    const Payload full(block);
    Arena arena2(UAVCAN_PROTOCOL_FILE_READ_RESPONSE_DYN_ARR_BUF_SIZE);
    EXPECT_EQ(uavcan_protocol_file_ReadResponse_decode(full.transfer(), full.len(), &rec, arena2.cursor()),
              16 + 256 * 8);
    EXPECT_EQ(rec.data.len, 256);
    EXPECT_TRUE(arena2.guardsIntact());

    // Nested: a 9-bit prefix, cut to 256.
    const Payload nested(BitWriter().put(16, int16_t{0}).put(9, uint16_t{257}).bytes(Bytes(257, 1)).done());
    Arena arena3(UAVCAN_PROTOCOL_FILE_READ_RESPONSE_DYN_ARR_BUF_SIZE);
    EXPECT_EQ(uavcan_protocol_file_ReadResponse_decode_internal(nested.transfer(), 0, &rec, arena3.cursor(), 0),
              16 + 9 + 256 * 8);
    EXPECT_EQ(rec.data.len, 256);
    EXPECT_TRUE(arena3.guardsIntact());

    const Payload oneByte({0x00});
    EXPECT_EQ(uavcan_protocol_file_ReadResponse_decode(oneByte.transfer(), oneByte.len(), &rec, nullptr), SHORT);
}
