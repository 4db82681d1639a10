// Port bring-up on the simulated chip: pins and clocks, then timing, controller, filters and the port's
// transport instance, with the texts a failing bring-up leaves on the console.
#include "firmware/drivers/CAN.hpp"

#include <gtest/gtest.h>

#include <string>

#include "platform/sim/sim.hpp"
#include "tests/unit/console_support.hpp"

namespace {

using consoletest::console;

CANXportPool_t g_pool[3];
XportInstance g_ins[3];

void onReception(XportInstance*, XportRxTransfer*) {}
bool shouldAccept(const XportInstance*, uint64_t*, uint16_t, XportTransferType, uint8_t) { return false; }

const BxcanAcceptanceFilterConfiguration kFilters[8] = {
    {0x00000100U | XPORT_CAN_FRAME_EFF, 0x00FFFF80U | XPORT_CAN_FRAME_EFF},
    {0x00015500U | XPORT_CAN_FRAME_EFF, 0x00FFFF80U | XPORT_CAN_FRAME_EFF},
    {0x00000180U | XPORT_CAN_FRAME_EFF, 0x00FF0080U | XPORT_CAN_FRAME_EFF},
    {0x004E9100U | XPORT_CAN_FRAME_EFF, 0x00FFFF80U | XPORT_CAN_FRAME_EFF},
    {0x00000B80U | XPORT_CAN_FRAME_EFF, 0x00FF0080U | XPORT_CAN_FRAME_EFF},
    {0x004E8F00U | XPORT_CAN_FRAME_EFF, 0x00FFFF80U | XPORT_CAN_FRAME_EFF},
    {0x00040600U | XPORT_CAN_FRAME_EFF, 0x00FFFF80U | XPORT_CAN_FRAME_EFF},
    {0x0003F200U | XPORT_CAN_FRAME_EFF, 0x00FFFF80U | XPORT_CAN_FRAME_EFF},
};

class CANBringUp : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        sim::setClocks(sim::kNodeClocks);  // as the node's start-up sets them
        bxcanColdReset();
        ASSERT_TRUE(consoletest::startConsole());
    }

    static void bringUp(PortCAN_t port, uint8_t nodeId, uint16_t filtLen = 8)
    {
        CANswInit(port, kFilters, filtLen);
        xportInit(&g_ins[port], g_pool[port].bytes, sizeof g_pool[port].bytes, onReception, shouldAccept, nullptr);
        if (nodeId != 0) {
            xportSetLocalNodeID(&g_ins[port], nodeId);
        }
    }

    static void pinsAndClocks()
    {
        for (unsigned p = 0; p < 3; p++) {
            CANInit(static_cast<PortCAN_t>(p));
        }
    }
};

TEST_F(CANBringUp, PinsAndClocksOfEachPort)
{
    pinsAndClocks();
    EXPECT_EQ(static_cast<uint32_t>(RCC->APB1ENR) & (7U << 25), 7U << 25);
    const uint32_t gpio = static_cast<uint32_t>(RCC->AHB1ENR);
    EXPECT_EQ(gpio & (RCC_AHB1Periph_GPIOA | RCC_AHB1Periph_GPIOB | RCC_AHB1Periph_GPIOD),
              RCC_AHB1Periph_GPIOA | RCC_AHB1Periph_GPIOB | RCC_AHB1Periph_GPIOD);

    struct Pin {
        GPIO_TypeDef* port;
        unsigned pin;
        uint32_t af;
    };
    for (const Pin& p : {Pin{GPIOD, 0, 9}, Pin{GPIOD, 1, 9}, Pin{GPIOB, 5, 9}, Pin{GPIOB, 6, 9},
                         Pin{GPIOA, 8, 11}, Pin{GPIOA, 15, 11}}) {
        EXPECT_EQ(sim::gpioMode(p.port, p.pin), GPIO_MODER_AF) << p.pin;
        EXPECT_EQ(sim::gpioAlternate(p.port, p.pin), p.af) << p.pin;
        EXPECT_EQ((static_cast<uint32_t>(p.port->PUPDR) >> (2 * p.pin)) & 3U, 1U) << p.pin;    // pull-up
        EXPECT_EQ((static_cast<uint32_t>(p.port->OSPEEDR) >> (2 * p.pin)) & 3U, 2U) << p.pin;  // fast
        EXPECT_EQ((static_cast<uint32_t>(p.port->OTYPER) >> p.pin) & 1U, 0U) << p.pin;        // push-pull
    }
}

// Start-up order CAN1, CAN2, CAN3 at the node's 48 MHz bus clock: every port runs at 1 Mbit/s, hears
// through its own filter banks and has its instance.
TEST_F(CANBringUp, AllThreePortsComeUp)
{
    pinsAndClocks();
    bringUp(PortCAN1, 110);
    bringUp(PortCAN2, 111);
    bringUp(PortCAN3, 0);
    EXPECT_EQ(console(), "4bxcan init ok\n4bxcan init ok\n4bxcan init ok\n");
    EXPECT_EQ(g_RCC_Clocks.PCLK1_Frequency, 48000000U);
    for (unsigned p = 0; p < 3; p++) {
        EXPECT_EQ(static_cast<uint32_t>((p == 0 ? CAN1 : p == 1 ? CAN2 : CAN3)->BTR), 0x00050005U);
        EXPECT_EQ(sim::canControllerBitrate(p), 1000000U);
    }
    EXPECT_EQ(static_cast<uint32_t>(CAN1->FA1R), 0x003FC0FFU);
    EXPECT_EQ(static_cast<uint32_t>(CAN3->FA1R), 0x000000FFU);
    EXPECT_EQ(xportGetLocalNodeID(&g_ins[0]), 110);
    EXPECT_EQ(xportGetLocalNodeID(&g_ins[1]), 111);
    EXPECT_EQ(xportGetLocalNodeID(&g_ins[2]), 0);
    EXPECT_EQ(g_ins[0].allocator.statistics.capacity_blocks, 96);
    EXPECT_EQ(g_ins[0].on_reception, &onReception);
    EXPECT_EQ(g_ins[0].should_accept, &shouldAccept);
}

TEST_F(CANBringUp, WithoutFiltersThePortKeepsItsAcceptAllBank)
{
    pinsAndClocks();
    bringUp(PortCAN1, 10, 0);
    EXPECT_EQ(static_cast<uint32_t>(CAN1->FA1R), 1U);
    EXPECT_EQ(static_cast<uint32_t>(CAN1->sFilterRegister[0].FR2), 0U);
}

TEST_F(CANBringUp, ClocksWithAndWithoutATiming)
{
    pinsAndClocks();
    sim::setPclk1(42000000U);
    bringUp(PortCAN1, 10);
    EXPECT_EQ(static_cast<uint32_t>(CAN1->BTR), 0x00040005U);
    EXPECT_EQ(console(), "4bxcan init ok\n");

    // No timing at 47 MHz: the three texts in order, and the port still gets its instance.
    sim::usart2ClearSent();
    sim::setPclk1(47000000U);
    g_ins[1] = XportInstance{};
    bringUp(PortCAN2, 42);
    EXPECT_EQ(console(), "compute timing failed\ninvalid arg\ninit failed\n");
    EXPECT_EQ(xportGetLocalNodeID(&g_ins[1]), 42);
    EXPECT_EQ(g_ins[1].allocator.statistics.capacity_blocks, 96);
}

TEST_F(CANBringUp, DeadControllerIsReportedAndStartUpGoesOn)
{
    pinsAndClocks();
    sim::canSetIgnoresModeRequests(1, true);
    bringUp(PortCAN1, 10);
    bringUp(PortCAN2, 11);
    bringUp(PortCAN3, 12);
    EXPECT_EQ(console(), "4bxcan init ok\n2inak not set2\ninit failed\n4bxcan init ok\n");
    EXPECT_EQ(xportGetLocalNodeID(&g_ins[1]), 11);
}

}  // namespace
