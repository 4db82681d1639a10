#include "firmware/drivers/serial.hpp"

#include <cstring>

#include "chip.hpp"
#include "platform/interface/core.hpp"

namespace {

uint8_t TxBuff[TXQLEN];
uint8_t RxBuff[RXQLEN];

}  // namespace

constinit Q_t TxQ = {TxBuff, TXQLEN, 0, 0};
constinit Q_t RxQ = {RxBuff, RXQLEN, 0, 0};

namespace {

// True while nothing is in flight, so the next byte must be started by the task; false while the
// transmit-complete interrupt keeps the chain going.
volatile bool tx_idle = true;

// Main task only: the oldest note at logFirst, logCount of them.
LogNote logQueue[LOG_QUEUE_LEN];
uint8_t logFirst;
uint8_t logCount;
uint8_t TxByte;

void MX_USART2_UART_Init()
{
    LL_APB1_GRP1_EnableClock(LL_APB1_GRP1_PERIPH_USART2);
    LL_AHB1_GRP1_EnableClock(LL_AHB1_GRP1_PERIPH_GPIOD);

    // PD5 TX and PD6 RX; the TX latch idles high so the line stays at the stop level until the USART owns it.
    LL_GPIO_InitTypeDef pins{};
    pins.Pin = LL_GPIO_PIN_5 | LL_GPIO_PIN_6;
    pins.Mode = LL_GPIO_MODE_ALTERNATE;
    pins.Speed = LL_GPIO_SPEED_FREQ_VERY_HIGH;
    pins.OutputType = LL_GPIO_OUTPUT_PUSHPULL;
    pins.Pull = LL_GPIO_PULL_UP;
    pins.Alternate = LL_GPIO_AF_7;
    LL_GPIO_SetOutputPin(GPIOD, LL_GPIO_PIN_5);
    LL_GPIO_Init(GPIOD, &pins);

    pins.Pin = LL_GPIO_PIN_3;  // CTS
    pins.Pull = LL_GPIO_PULL_DOWN;
    LL_GPIO_Init(GPIOD, &pins);

    pins.Pin = LL_GPIO_PIN_4;  // RTS
    pins.Pull = LL_GPIO_PULL_NO;
    LL_GPIO_Init(GPIOD, &pins);

    NVIC_SetPriority(USART2_IRQn, 0U);
    NVIC_EnableIRQ(USART2_IRQn);

    // The line settings only take while the USART is off (a second bring-up finds it on).
    LL_USART_Disable(USART2);
    LL_USART_InitTypeDef line{};
    line.BaudRate = SERIAL_BAUD_RATE;
    line.DataWidth = LL_USART_DATAWIDTH_8B;
    line.StopBits = LL_USART_STOPBITS_1;
    line.Parity = LL_USART_PARITY_NONE;
    line.TransferDirection = LL_USART_DIRECTION_TX_RX;
    line.HardwareFlowControl = LL_USART_HWCONTROL_RTS_CTS;
    line.OverSampling = LL_USART_OVERSAMPLING_16;
    LL_USART_Init(USART2, &line);
    LL_USART_ConfigAsyncMode(USART2);
    LL_USART_Enable(USART2);
}

}  // namespace

bool InitSerial()
{
    serialColdReset();
    MX_USART2_UART_Init();
    LL_USART_EnableIT_RXNE(USART2);
    LL_USART_EnableIT_TC(USART2);
    return true;
}

uint16_t SerialTxQ(const uint8_t* Data, uint16_t len)
{
    const bool queued = EnQ(&TxQ, Data, len);
    // Nothing in flight: no interrupt will come to take the next byte, so start the chain here.
    if (tx_idle && DeQ1(&TxQ, &TxByte)) {
        tx_idle = false;
        LL_USART_TransmitData8(USART2, TxByte);
    }
    return queued ? len : uint16_t{0};
}

bool SerialTxQMT() { return QMT(&TxQ); }

uint16_t SerialTxQWait(const uint8_t* Data, uint16_t len)
{
    const uint16_t r = SerialTxQ(Data, len);
    while (!SerialTxQMT()) {
        coreRelax();
    }
    return r;
}

void logNote(uint8_t level, const char* source, const char* text)
{
    if (logCount < LOG_QUEUE_LEN) {
        logQueue[(logFirst + logCount++) % LOG_QUEUE_LEN] = {level, source, text};
    }
}

void consoleDiagnostic(uint8_t level, const char* source, const char* text)
{
    SerialTxQWait(reinterpret_cast<const uint8_t*>(text), static_cast<uint16_t>(std::strlen(text)));
    logNote(level, source, text);
}

bool logTake(LogNote* out)
{
    if (logCount == 0U) {
        return false;
    }
    *out = logQueue[logFirst];
    logFirst = static_cast<uint8_t>((logFirst + 1U) % LOG_QUEUE_LEN);
    --logCount;
    return true;
}

void serialColdReset()
{
    logFirst = 0U;
    logCount = 0U;
    VarInitQ(&TxQ, TXQLEN);
    VarInitQ(&RxQ, RXQLEN);
    tx_idle = true;
    TxByte = 0U;
}

void USART2_IRQHandler()
{
    if (LL_USART_IsActiveFlag_RXNE(USART2)) {
        EnQ1(&RxQ, LL_USART_ReceiveData8(USART2));  // dropped when full
        LL_USART_ClearFlag_RXNE(USART2);
    }
    if (LL_USART_IsActiveFlag_TC(USART2)) {
        LL_USART_ClearFlag_TC(USART2);
        if (DeQ1(&TxQ, &TxByte)) {
            LL_USART_TransmitData8(USART2, TxByte);
        } else {
            tx_idle = true;
        }
    }
}
