// Random records of every type that has both an encoder and a decoder: encode, decode, compare. Fixed
// seeds keep failures reproducible.

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "firmware/dsdl/qon/zb5/IgnoreCANPort.hpp"
#include "firmware/dsdl/qon/zb5/UseFlightController.hpp"
#include "firmware/dsdl/qon/zb5/VisibleFlightController.hpp"
#include "firmware/dsdl/uavcan/protocol/RestartNode.hpp"
#include "firmware/dsdl/uavcan/protocol/dynamic_node_id/Allocation.hpp"
#include "firmware/dsdl/uavcan/protocol/param/ExecuteOpcode.hpp"
#include "firmware/dsdl/uavcan/protocol/param/GetSet.hpp"
#include "tests/unit/dsdl_test_support.hpp"

namespace {

using dsdltest::Arena;
using dsdltest::Bytes;
using dsdltest::Payload;

constexpr int ROUNDS = 2000;

class Random {
public:
    explicit Random(uint32_t seed) : gen_(seed) {}
    template <typename T>
    T any()
    {
        uint64_t v = gen_();
        v = (v << 32) ^ gen_();
        T out;
        std::memcpy(&out, &v, sizeof(T));
        return out;
    }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(gen_() % n); }
    bool coin() { return (gen_() & 1U) != 0; }
    Bytes bytes(std::size_t n)
    {
        Bytes out(n);
        for (uint8_t& b : out) {
            b = any<uint8_t>();
        }
        return out;
    }

private:
    std::mt19937 gen_;
};

TEST(DsdlRoundTrip, Allocation)
{
    Random rnd(1);
    for (int round = 0; round < ROUNDS; ++round) {
        Bytes uid = rnd.bytes(rnd.below(17));
        uavcan_protocol_dynamic_node_id_Allocation in{static_cast<uint8_t>(rnd.below(128)), rnd.coin(),
                                                      {static_cast<uint8_t>(uid.size()), uid.data()}};
        const bool root = rnd.coin();
        uint8_t buf[UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_MAX_SIZE] = {};
        const uint32_t bits = uavcan_protocol_dynamic_node_id_Allocation_encode_internal(&in, buf, 0, root ? 1 : 0);
        ASSERT_LE(bits, 141U);
        const Payload p(Bytes(buf, buf + (bits + 7) / 8));

        Arena arena(UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_DYN_ARR_BUF_SIZE);
        uavcan_protocol_dynamic_node_id_Allocation out{};
        ASSERT_EQ(uavcan_protocol_dynamic_node_id_Allocation_decode_internal(p.transfer(), root ? p.len() : 0, &out,
                                                                              arena.cursor(), 0),
                  static_cast<int32_t>(bits));
        EXPECT_EQ(out.node_id, in.node_id);
        EXPECT_EQ(out.first_part_of_unique_id, in.first_part_of_unique_id);
        EXPECT_EQ(Bytes(out.unique_id.data, out.unique_id.data + out.unique_id.len), uid);
        EXPECT_TRUE(arena.guardsIntact());
    }
}

// A random Value; string bytes live in *storage.
uavcan_protocol_param_Value randomValue(Random& rnd, Bytes* storage)
{
    uavcan_protocol_param_Value v{};
    v.union_tag = static_cast<uavcan_protocol_param_Value_type_t>(rnd.below(5));
    switch (v.union_tag) {
    case UAVCAN_PROTOCOL_PARAM_VALUE_INTEGER_VALUE:
        v.integer_value = rnd.any<int64_t>();
        break;
    case UAVCAN_PROTOCOL_PARAM_VALUE_REAL_VALUE:
        v.real_value = static_cast<float>(rnd.any<int32_t>()) / 1024.0F;
        break;
    case UAVCAN_PROTOCOL_PARAM_VALUE_BOOLEAN_VALUE:
        v.boolean_value = rnd.any<uint8_t>();
        break;
    case UAVCAN_PROTOCOL_PARAM_VALUE_STRING_VALUE:
        *storage = rnd.bytes(rnd.below(129));
        v.string_value.len = static_cast<uint8_t>(storage->size());
        v.string_value.data = storage->data();
        break;
    default:
        break;
    }
    return v;
}

void expectSameValue(const uavcan_protocol_param_Value& a, const uavcan_protocol_param_Value& b)
{
    ASSERT_EQ(a.union_tag, b.union_tag);
    switch (a.union_tag) {
    case UAVCAN_PROTOCOL_PARAM_VALUE_INTEGER_VALUE:
        EXPECT_EQ(a.integer_value, b.integer_value);
        break;
    case UAVCAN_PROTOCOL_PARAM_VALUE_REAL_VALUE:
        EXPECT_EQ(a.real_value, b.real_value);
        break;
    case UAVCAN_PROTOCOL_PARAM_VALUE_BOOLEAN_VALUE:
        EXPECT_EQ(a.boolean_value, b.boolean_value);
        break;
    case UAVCAN_PROTOCOL_PARAM_VALUE_STRING_VALUE:
        EXPECT_EQ(Bytes(a.string_value.data, a.string_value.data + a.string_value.len),
                  Bytes(b.string_value.data, b.string_value.data + b.string_value.len));
        break;
    default:
        break;
    }
}

TEST(DsdlRoundTrip, ValueNestedAndAtTheRoot)
{
    Random rnd(2);
    for (int round = 0; round < ROUNDS; ++round) {
        Bytes storage;
        uavcan_protocol_param_Value in = randomValue(rnd, &storage);
        const bool root = rnd.coin();
        const uint32_t start = rnd.below(8);  // any bit alignment
        uint8_t buf[UAVCAN_PROTOCOL_PARAM_VALUE_MAX_SIZE + 2] = {};
        const uint32_t bits = uavcan_protocol_param_Value_encode_internal(&in, buf, start, root ? 1 : 0);
        const Payload p(Bytes(buf, buf + (bits + 7) / 8));

        Arena arena(UAVCAN_PROTOCOL_PARAM_VALUE_DYN_ARR_BUF_SIZE);
        uavcan_protocol_param_Value out{};
        const int32_t got = uavcan_protocol_param_Value_decode_internal(p.transfer(), root ? p.len() : 0, &out,
                                                                        arena.cursor(), static_cast<int32_t>(start));
        // At the root a string takes every whole byte left, which is exactly what was written.
        ASSERT_EQ(got, static_cast<int32_t>(bits));
        expectSameValue(in, out);
        EXPECT_TRUE(arena.guardsIntact());
    }
}

TEST(DsdlRoundTrip, EmptyTakesNoBits)
{
    uavcan_protocol_param_Empty in{};
    uint8_t buf[1] = {0x5A};
    EXPECT_EQ(uavcan_protocol_param_Empty_encode(&in, buf), 0U);
    EXPECT_EQ(uavcan_protocol_param_Empty_encode_internal(&in, buf, 11, 0), 11U);
    EXPECT_EQ(buf[0], 0x5A);
    const Payload p(Bytes{});
    uavcan_protocol_param_Empty out{};
    EXPECT_EQ(uavcan_protocol_param_Empty_decode_internal(p.transfer(), 0, &out, nullptr, 11), 11);
}

TEST(DsdlRoundTrip, GetSetRequestBuiltFromTheFieldEncoders)
{
    Random rnd(3);
    for (int round = 0; round < ROUNDS; ++round) {
        Bytes storage;
        uavcan_protocol_param_Value value = randomValue(rnd, &storage);
        const uint16_t index = static_cast<uint16_t>(rnd.below(8192));
        const Bytes name = rnd.bytes(rnd.below(93));

        uint8_t buf[UAVCAN_PROTOCOL_PARAM_GETSET_REQUEST_MAX_SIZE] = {};
        xportEncodeScalar(buf, 0, 13, &index);
        uint32_t bits = uavcan_protocol_param_Value_encode_internal(&value, buf, 13, 0);
        for (const uint8_t c : name) {
            xportEncodeScalar(buf, bits, 8, &c);
            bits += 8;
        }
        ASSERT_LE((bits + 7) / 8, UAVCAN_PROTOCOL_PARAM_GETSET_REQUEST_MAX_SIZE);
        const Payload p(Bytes(buf, buf + (bits + 7) / 8));

        Arena arena(UAVCAN_PROTOCOL_PARAM_GETSET_REQUEST_DYN_ARR_BUF_SIZE);
        uavcan_protocol_param_GetSetRequest out;
        // The name takes whole bytes only: a trailing partial byte is padding.
        const int32_t got = uavcan_protocol_param_GetSetRequest_decode(p.transfer(), p.len(), &out, arena.cursor());
        ASSERT_EQ(got, static_cast<int32_t>(bits));
        EXPECT_EQ(out.index, index);
        expectSameValue(value, out.value);
        EXPECT_EQ(Bytes(out.name.data, out.name.data + out.name.len), name);
        EXPECT_TRUE(arena.guardsIntact());
    }
}

TEST(DsdlRoundTrip, VendorTypes)
{
    Random rnd(4);
    for (int round = 0; round < ROUNDS; ++round) {
        {
            qon_zb5_UseFlightController in{rnd.any<uint64_t>(), rnd.any<int8_t>(), rnd.any<int8_t>()};
            uint8_t buf[QON_ZB5_USEFLIGHTCONTROLLER_MAX_SIZE] = {};
            const Payload p(Bytes(buf, buf + qon_zb5_UseFlightController_encode(&in, buf)));
            qon_zb5_UseFlightController out;
            ASSERT_EQ(qon_zb5_UseFlightController_decode(p.transfer(), p.len(), &out, nullptr), 80);
            EXPECT_EQ(out.UniqID, in.UniqID);
            EXPECT_EQ(out.UseFConBus, in.UseFConBus);
            EXPECT_EQ(out.ThisBus, in.ThisBus);
        }
        {
            qon_zb5_VisibleFlightController in{rnd.any<uint64_t>(), {rnd.coin(), rnd.coin(), rnd.coin()}};
            uint8_t buf[QON_ZB5_VISIBLEFLIGHTCONTROLLER_MAX_SIZE] = {};
            const Payload p(Bytes(buf, buf + qon_zb5_VisibleFlightController_encode(&in, buf)));
            qon_zb5_VisibleFlightController out;
            ASSERT_EQ(qon_zb5_VisibleFlightController_decode(p.transfer(), p.len(), &out, nullptr), 67);
            EXPECT_EQ(out.UniqID, in.UniqID);
            EXPECT_EQ(std::memcmp(out.CANPresent, in.CANPresent, sizeof(in.CANPresent)), 0);
        }
        {
            qon_zb5_IgnoreCANPort in{rnd.any<uint8_t>(), {rnd.coin(), rnd.coin(), rnd.coin()}};
            uint8_t buf[QON_ZB5_IGNORECANPORT_MAX_SIZE] = {};
            const Payload p(Bytes(buf, buf + qon_zb5_IgnoreCANPort_encode(&in, buf)));
            qon_zb5_IgnoreCANPort out;
            ASSERT_EQ(qon_zb5_IgnoreCANPort_decode(p.transfer(), p.len(), &out, nullptr), 11);
            EXPECT_EQ(out.NodeID, in.NodeID);
            EXPECT_EQ(std::memcmp(out.IgnoreCANPort, in.IgnoreCANPort, sizeof(in.IgnoreCANPort)), 0);
        }
    }
}

}  // namespace

// The service requests the node decodes: every field round-trips, the 48-bit argument with its sign, and
// a payload one byte short is refused rather than read as zeros.
TEST(DsdlRoundTrip, RestartNodeAndExecuteOpcodeRequests)
{
    Random rnd(7);
    for (int round = 0; round < ROUNDS; ++round) {
        uavcan_protocol_RestartNodeRequest restart{rnd.any<uint64_t>() & 0xFFFFFFFFFFULL};
        uint8_t rbuf[UAVCAN_PROTOCOL_RESTARTNODE_REQUEST_MAX_SIZE] = {};
        ASSERT_EQ(uavcan_protocol_RestartNodeRequest_encode(&restart, rbuf), 5U);
        const Bytes rbytes(rbuf, rbuf + 5);
        const Payload rp(rbytes);
        uavcan_protocol_RestartNodeRequest restart_out{};
        ASSERT_EQ(uavcan_protocol_RestartNodeRequest_decode(rp.transfer(), rp.len(), &restart_out, nullptr), 40);
        EXPECT_EQ(restart_out.magic_number, restart.magic_number);
        const Payload rshort(Bytes(rbytes.begin(), rbytes.end() - 1));
        EXPECT_LT(uavcan_protocol_RestartNodeRequest_decode(rshort.transfer(), rshort.len(), &restart_out, nullptr), 0);

        // Any 48-bit two's complement value, sign-extended back.
        const int64_t argument = static_cast<int64_t>(rnd.any<uint64_t>() << 16) >> 16;
        uavcan_protocol_param_ExecuteOpcodeRequest op{rnd.any<uint8_t>(), argument};
        uint8_t obuf[UAVCAN_PROTOCOL_PARAM_EXECUTEOPCODE_REQUEST_MAX_SIZE] = {};
        ASSERT_EQ(uavcan_protocol_param_ExecuteOpcodeRequest_encode(&op, obuf), 7U);
        const Bytes obytes(obuf, obuf + 7);
        const Payload opl(obytes);
        uavcan_protocol_param_ExecuteOpcodeRequest op_out{};
        ASSERT_EQ(uavcan_protocol_param_ExecuteOpcodeRequest_decode(opl.transfer(), opl.len(), &op_out, nullptr), 56);
        EXPECT_EQ(op_out.opcode, op.opcode);
        EXPECT_EQ(op_out.argument, op.argument);
        const Payload oshort(Bytes(obytes.begin(), obytes.end() - 1));
        EXPECT_LT(uavcan_protocol_param_ExecuteOpcodeRequest_decode(oshort.transfer(), oshort.len(), &op_out, nullptr),
                  0);
    }
}
