// Vendor data type codecs: the wire format the flight controllers depend on.

#include <gtest/gtest.h>

#include <cstring>

#include "firmware/dsdl/qon/zb5/IgnoreCANPort.hpp"
#include "firmware/dsdl/qon/zb5/UseFlightController.hpp"
#include "firmware/dsdl/qon/zb5/VisibleFlightController.hpp"
#include "tests/unit/dsdl_test_support.hpp"

namespace {

using dsdltest::Bytes;
using dsdltest::Payload;

constexpr int32_t SHORT = -XPORT_ERROR_INTERNAL;

TEST(DsdlVendor, IdsAndSignaturesAreTheAgreedOnes)
{
    EXPECT_EQ(QON_ZB5_USEFLIGHTCONTROLLER_ID, 20111);
    EXPECT_EQ(QON_ZB5_VISIBLEFLIGHTCONTROLLER_ID, 20112);
    EXPECT_EQ(QON_ZB5_IGNORECANPORT_ID, 20113);
    EXPECT_EQ(QON_ZB5_USEFLIGHTCONTROLLER_SIGNATURE, 0xB5B7819BAF5FDD7AULL);
    EXPECT_EQ(QON_ZB5_VISIBLEFLIGHTCONTROLLER_SIGNATURE, 0x338F695EA65AE92CULL);
    EXPECT_EQ(QON_ZB5_IGNORECANPORT_SIGNATURE, 0xA8739EC093192F7FULL);
    EXPECT_EQ(QON_ZB5_USEFLIGHTCONTROLLER_MAX_SIZE, 10);
    EXPECT_EQ(QON_ZB5_VISIBLEFLIGHTCONTROLLER_MAX_SIZE, 9);
    EXPECT_EQ(QON_ZB5_IGNORECANPORT_MAX_SIZE, 2);
    EXPECT_STREQ(QON_ZB5_VISIBLEFLIGHTCONTROLLER_NAME, "qon.zb5.VisibleFlightController");
}

TEST(DsdlUseFlightController, DecodesTheWorkedExample)
{
    const Payload p({0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0xFF, 0x02});
    qon_zb5_UseFlightController rec{};
    EXPECT_EQ(qon_zb5_UseFlightController_decode_internal(p.transfer(), 0, &rec, nullptr, 0), 80);
    EXPECT_EQ(rec.UniqID, 0x0807060504030201ULL);
    EXPECT_EQ(rec.UseFConBus, -1);
    EXPECT_EQ(rec.ThisBus, 2);

    // The same bytes back from the encoder.
    uint8_t buf[QON_ZB5_USEFLIGHTCONTROLLER_MAX_SIZE] = {};
    EXPECT_EQ(qon_zb5_UseFlightController_encode(&rec, buf), 10U);
    EXPECT_EQ(Bytes(buf, buf + 10), (Bytes{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0xFF, 0x02}));
}

TEST(DsdlUseFlightController, ExtraBytesIgnoredShortPayloadFails)
{
    qon_zb5_UseFlightController rec{};
    const Payload longer({1, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x7F, 0xAA, 0xBB});
    EXPECT_EQ(qon_zb5_UseFlightController_decode_internal(longer.transfer(), longer.len(), &rec, nullptr, 0), 80);
    EXPECT_EQ(rec.UseFConBus, -128);
    EXPECT_EQ(rec.ThisBus, 127);

    // Nine bytes: the voter and its choice are read, the bus is missing and left as it was.
    rec = qon_zb5_UseFlightController{0, 0, 55};
    const Payload nine({8, 7, 6, 5, 4, 3, 2, 1, 0x03});
    EXPECT_EQ(qon_zb5_UseFlightController_decode_internal(nine.transfer(), nine.len(), &rec, nullptr, 0), SHORT);
    EXPECT_EQ(rec.UniqID, 0x0102030405060708ULL);
    EXPECT_EQ(rec.UseFConBus, 3);
    EXPECT_EQ(rec.ThisBus, 55);

    // The root form clears the record first.
    rec = qon_zb5_UseFlightController{9, 9, 9};
    const Payload empty(Bytes{});
    EXPECT_EQ(qon_zb5_UseFlightController_decode(empty.transfer(), 0, &rec, nullptr), SHORT);
    EXPECT_EQ(rec.UniqID, 0U);
    EXPECT_EQ(rec.ThisBus, 0);
}

TEST(DsdlUseFlightController, DecodesAtAnyBitOffset)
{
    // Three bits in, as if nested after a 3-bit field.
    const Payload p(dsdltest::BitWriter().put(3, 5).put(64, 0x1122334455667788ULL).put(8, int8_t{-2}).put(8, int8_t{1}).done());
    qon_zb5_UseFlightController rec{};
    EXPECT_EQ(qon_zb5_UseFlightController_decode_internal(p.transfer(), 0, &rec, nullptr, 3), 83);
    EXPECT_EQ(rec.UniqID, 0x1122334455667788ULL);
    EXPECT_EQ(rec.UseFConBus, -2);
    EXPECT_EQ(rec.ThisBus, 1);
}

TEST(DsdlIgnoreCANPort, DecodesFlagsFromTheTopBitsOfTheSecondByte)
{
    qon_zb5_IgnoreCANPort rec{};
    const Payload p({0x7E, 0xA0});
    EXPECT_EQ(qon_zb5_IgnoreCANPort_decode_internal(p.transfer(), 0, &rec, nullptr, 0), 11);
    EXPECT_EQ(rec.NodeID, 126);
    EXPECT_TRUE(rec.IgnoreCANPort[0]);
    EXPECT_FALSE(rec.IgnoreCANPort[1]);
    EXPECT_TRUE(rec.IgnoreCANPort[2]);

    // Padding bits are not read.
    const Payload padded({0x01, 0x5F});
    EXPECT_EQ(qon_zb5_IgnoreCANPort_decode_internal(padded.transfer(), 0, &rec, nullptr, 0), 11);
    EXPECT_FALSE(rec.IgnoreCANPort[0]);
    EXPECT_TRUE(rec.IgnoreCANPort[1]);
    EXPECT_FALSE(rec.IgnoreCANPort[2]);

    uint8_t buf[QON_ZB5_IGNORECANPORT_MAX_SIZE] = {};
    qon_zb5_IgnoreCANPort out{126, {true, false, true}};
    EXPECT_EQ(qon_zb5_IgnoreCANPort_encode(&out, buf), 2U);
    EXPECT_EQ(Bytes(buf, buf + 2), (Bytes{0x7E, 0xA0}));
}

TEST(DsdlIgnoreCANPort, OneBytePayloadReadsNodeIdThenFails)
{
    qon_zb5_IgnoreCANPort rec{0, {true, true, true}};
    const Payload p({0x2A});
    EXPECT_EQ(qon_zb5_IgnoreCANPort_decode_internal(p.transfer(), 0, &rec, nullptr, 0), SHORT);
    EXPECT_EQ(rec.NodeID, 42);
    EXPECT_TRUE(rec.IgnoreCANPort[0]);  // not overwritten by a field that was not there

    EXPECT_EQ(qon_zb5_IgnoreCANPort_decode(p.transfer(), 0, &rec, nullptr), SHORT);
    EXPECT_FALSE(rec.IgnoreCANPort[0]);
}

TEST(DsdlVisibleFlightController, EncodesTheWorkedExamples)
{
    struct Case {
        bool present[3];
        uint8_t last;
    };
    for (const Case c : {Case{{true, true, false}, 0xC0}, Case{{false, false, false}, 0x00},
                         Case{{false, false, true}, 0x20}, Case{{true, true, true}, 0xE0}}) {
        qon_zb5_VisibleFlightController rec{0x1122334455667788ULL, {c.present[0], c.present[1], c.present[2]}};
        uint8_t buf[QON_ZB5_VISIBLEFLIGHTCONTROLLER_MAX_SIZE] = {};
        EXPECT_EQ(qon_zb5_VisibleFlightController_encode(&rec, buf), 9U);
        EXPECT_EQ(Bytes(buf, buf + 9), (Bytes{0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, c.last}));

        const Payload p(Bytes(buf, buf + 9));
        qon_zb5_VisibleFlightController back;
        EXPECT_EQ(qon_zb5_VisibleFlightController_decode(p.transfer(), p.len(), &back, nullptr), 67);
        EXPECT_EQ(back.UniqID, rec.UniqID);
        EXPECT_EQ(std::memcmp(back.CANPresent, rec.CANPresent, 3), 0);
    }
}

TEST(DsdlVisibleFlightController, WritesOnlyItsOwnBits)
{
    // The caller zeroes the buffer; the encoder itself leaves the padding alone.
    qon_zb5_VisibleFlightController rec{0, {false, false, false}};
    uint8_t buf[QON_ZB5_VISIBLEFLIGHTCONTROLLER_MAX_SIZE + 1];
    std::memset(buf, 0xFF, sizeof(buf));
    EXPECT_EQ(qon_zb5_VisibleFlightController_encode_internal(&rec, buf, 0, 1), 67U);
    EXPECT_EQ(buf[8], 0x1F);
    EXPECT_EQ(buf[9], 0xFF);
}

}  // namespace
