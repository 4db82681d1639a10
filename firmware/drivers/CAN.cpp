#include "firmware/drivers/CAN.hpp"

#include <cstdint>

#include "firmware/drivers/serial.hpp"

// Pins and clocks of the three ports, indexed by PortCAN_t.
#define CAN_INIT                                                                                              \
    {                                                                                                         \
        {RCC_APB1Periph_CAN1, GPIO_AF_CAN1, RCC_AHB1Periph_GPIOD, GPIOD, GPIO_Pin_0, GPIO_Pin_1,              \
         GPIO_PinSource0, GPIO_PinSource1},                                                                   \
        {RCC_APB1Periph_CAN2, GPIO_AF_CAN2, RCC_AHB1Periph_GPIOB, GPIOB, GPIO_Pin_5, GPIO_Pin_6,              \
         GPIO_PinSource5, GPIO_PinSource6},                                                                   \
        {RCC_APB1Periph_CAN3, GPIO_AF11_CAN3, RCC_AHB1Periph_GPIOA, GPIOA, GPIO_Pin_8, GPIO_Pin_15,           \
         GPIO_PinSource8, GPIO_PinSource15},                                                                  \
    }

const CAN_Init_t CAN_Init[PortCANLast] = CAN_INIT;

RCC_ClocksTypeDef g_RCC_Clocks;

namespace {

template <std::size_t N>
void consoleText(const char (&text)[N])
{
    SerialTxQWait(reinterpret_cast<const uint8_t*>(text), static_cast<uint16_t>(N - 1U));
}

}  // namespace

void CANInit(const CAN_Init_t* Init)
{
    RCC_AHB1PeriphClockCmd(Init->GPIO_AHB1Periph, ENABLE);
    RCC_APB1PeriphClockCmd(Init->CAN_APB1Periph, ENABLE);

    GPIO_PinAFConfig(Init->GPIO_PORT, Init->RX_GPIO_PinSource, Init->CAN_AF);
    GPIO_PinAFConfig(Init->GPIO_PORT, Init->TX_GPIO_PinSource, Init->CAN_AF);

    GPIO_InitTypeDef pins{};
    pins.GPIO_Pin = static_cast<uint32_t>(Init->RX_GPIO_Pin) | Init->TX_GPIO_Pin;
    pins.GPIO_Mode = GPIO_Mode_AF;
    pins.GPIO_Speed = GPIO_Fast_Speed;
    pins.GPIO_OType = GPIO_OType_PP;
    pins.GPIO_PuPd = GPIO_PuPd_UP;
    GPIO_Init(Init->GPIO_PORT, &pins);
}

void CANswInit(PortCAN_t Port, XportInstance* out_ins, void* mem_arena, std::size_t mem_arena_size,
               XportOnTransferReception on_reception, XportShouldAcceptTransfer should_accept,
               void* user_reference, uint8_t self_node_id, const BxcanAcceptanceFilterConfiguration* filter_configs,
               uint16_t filtLen)
{
    // Wiring faults, not run-time conditions: the transport's pool needs an aligned arena.
    XPORT_ASSERT(out_ins != nullptr);
    XPORT_ASSERT(reinterpret_cast<std::uintptr_t>(mem_arena) % alignof(XportPoolAllocatorBlock) == 0U);

    RCC_GetClocksFreq(&g_RCC_Clocks);
    BxcanCANTimings timings{};
    if (bxcanComputeCANTimings(g_RCC_Clocks.PCLK1_Frequency, CAN_BIT_RATE, &timings) != 0) {
        // Carry on with the zeroed timings: the driver refuses them and says so.
        consoleText("compute timing failed\n");
    }
    if (bxcanInit(&timings, BxcanIfaceModeNormal, Port) != 0) {
        consoleText("init failed\n");
    }
    if (filtLen != 0U) {
        (void)bxcanConfigureAcceptanceFilters(filter_configs, filtLen, Port);
    }

    xportInit(out_ins, mem_arena, mem_arena_size, on_reception, should_accept, user_reference);
    if (self_node_id != 0U) {
        xportSetLocalNodeID(out_ins, self_node_id);
    }
}
