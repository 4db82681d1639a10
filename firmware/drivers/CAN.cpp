#include "firmware/drivers/CAN.hpp"

#include <cstdint>

#include "firmware/drivers/serial.hpp"

RCC_ClocksTypeDef g_RCC_Clocks;

void CANInit(PortCAN_t Port)
{
    const BxcanControllerConfig& config = bxcanControllers[Port];
    RCC_AHB1PeriphClockCmd(config.gpio_clock, ENABLE);
    RCC_APB1PeriphClockCmd(config.can_clock, ENABLE);

    GPIO_PinAFConfig(config.gpio, config.rx_pin, config.pin_af);
    GPIO_PinAFConfig(config.gpio, config.tx_pin, config.pin_af);

    GPIO_InitTypeDef pins{};
    pins.GPIO_Pin = (1U << config.rx_pin) | (1U << config.tx_pin);
    pins.GPIO_Mode = GPIO_Mode_AF;
    pins.GPIO_Speed = GPIO_Fast_Speed;
    pins.GPIO_OType = GPIO_OType_PP;
    pins.GPIO_PuPd = GPIO_PuPd_UP;
    GPIO_Init(config.gpio, &pins);
}

void CANswInit(PortCAN_t Port, const BxcanAcceptanceFilterConfiguration* filter_configs, uint16_t filtLen)
{
    RCC_GetClocksFreq(&g_RCC_Clocks);
    BxcanCANTimings timings{};
    if (bxcanComputeCANTimings(g_RCC_Clocks.PCLK1_Frequency, CAN_BIT_RATE, &timings) != 0) {
        // Carry on with the zeroed timings: the driver refuses them and says so.
        consoleDiagnostic(LOG_ERROR, PORT_CAN_NAME[Port], "compute timing failed\n");
    }
    if (bxcanInit(&timings, BxcanIfaceModeNormal, Port) != 0) {
        consoleDiagnostic(LOG_ERROR, PORT_CAN_NAME[Port], "init failed\n");
    }
    if (filtLen != 0U) {
        (void)bxcanConfigureAcceptanceFilters(filter_configs, filtLen, Port);
    }
}
