#pragma once
// Names of the STM32F413's addresses, interrupt lines and register bits, shared by the real chip and the
// simulated one. Pure constants: the register blocks themselves come from chip.hpp.
// Bit names follow the reference manual (CAN_MCR_INRQ is bit INRQ of CAN_MCR).

#include <cstdint>

// ---------------------------------------------------------------------------------------------------------
// Base addresses
inline constexpr uint32_t TIM2_BASE = 0x40000000U;
inline constexpr uint32_t TIM5_BASE = 0x40000C00U;
inline constexpr uint32_t WWDG_BASE = 0x40002C00U;
inline constexpr uint32_t IWDG_BASE = 0x40003000U;
inline constexpr uint32_t USART2_BASE = 0x40004400U;
inline constexpr uint32_t CAN1_BASE = 0x40006400U;
inline constexpr uint32_t CAN2_BASE = 0x40006800U;
inline constexpr uint32_t CAN3_BASE = 0x40006C00U;
inline constexpr uint32_t PWR_BASE = 0x40007000U;
inline constexpr uint32_t GPIOA_BASE = 0x40020000U;
inline constexpr uint32_t GPIOB_BASE = 0x40020400U;
inline constexpr uint32_t GPIOC_BASE = 0x40020800U;
inline constexpr uint32_t GPIOD_BASE = 0x40020C00U;
inline constexpr uint32_t GPIOE_BASE = 0x40021000U;
inline constexpr uint32_t GPIOH_BASE = 0x40021C00U;
inline constexpr uint32_t RCC_BASE = 0x40023800U;
inline constexpr uint32_t FLASH_R_BASE = 0x40023C00U;
inline constexpr uint32_t UID_BASE = 0x1FFF7A10U;
inline constexpr uint32_t SysTick_BASE = 0xE000E010U;
inline constexpr uint32_t NVIC_BASE = 0xE000E100U;
inline constexpr uint32_t SCB_BASE = 0xE000ED00U;

// Flash memory (1 MB part): the image sits behind the 128 KB bootloader.
inline constexpr uint32_t FLASH_BASE = 0x08000000U;
inline constexpr uint32_t FLASH_SIZE = 0x00100000U;
// Sectors 10 and 11 (the last 256 KB of the 1 MB part): the node's data, everything below is program.
inline constexpr uint32_t FLASH_DATA_START = 0x080C0000U;
inline constexpr uint32_t FLASH_DATA_SIZE = 0x00040000U;
// Sectors 5 to 9, behind the bootloader's sectors 0 to 4: the application, which only the bootloader
// erases and programs. Every sector from 5 on is 128 KB.
inline constexpr uint32_t FLASH_APP_START = 0x08020000U;
inline constexpr uint32_t FLASH_APP_SIZE = FLASH_DATA_START - FLASH_APP_START;
inline constexpr uint32_t FLASH_APP_FIRST_SECTOR = 5U;
inline constexpr uint32_t FLASH_LARGE_SECTOR_SIZE = 0x00020000U;
static_assert(FLASH_APP_SIZE == 5U * FLASH_LARGE_SECTOR_SIZE && FLASH_DATA_SIZE == 2U * FLASH_LARGE_SECTOR_SIZE);

// ---------------------------------------------------------------------------------------------------------
// Exception and interrupt numbers (negative: core exceptions).

// The device interrupt lines the firmware and the simulator know, listed once: X(NAME, number) stands for
// the line NAME_IRQn and its handler NAME_IRQHandler (declared in platform/interface/periph.hpp).
#define STM32F4_INTERRUPT_LINES(X) \
    X(WWDG, 0)                      \
    X(CAN1_TX, 19)                  \
    X(CAN1_RX0, 20)                 \
    X(CAN1_RX1, 21)                 \
    X(CAN1_SCE, 22)                 \
    X(TIM2, 28)                     \
    X(USART2, 38)                   \
    X(TIM5, 50)                     \
    X(CAN2_TX, 63)                  \
    X(CAN2_RX0, 64)                 \
    X(CAN2_RX1, 65)                 \
    X(CAN2_SCE, 66)                 \
    X(CAN3_TX, 74)                  \
    X(CAN3_RX0, 75)                 \
    X(CAN3_RX1, 76)                 \
    X(CAN3_SCE, 77)

enum IRQn_Type : int {
    NonMaskableInt_IRQn = -14,
    HardFault_IRQn = -13,
    MemoryManagement_IRQn = -12,
    BusFault_IRQn = -11,
    UsageFault_IRQn = -10,
    SVCall_IRQn = -5,
    DebugMonitor_IRQn = -4,
    PendSV_IRQn = -2,
    SysTick_IRQn = -1,
#define STM32F4_IRQ_NUMBER(name, number) name##_IRQn = (number),
    STM32F4_INTERRUPT_LINES(STM32F4_IRQ_NUMBER)
#undef STM32F4_IRQ_NUMBER
};
inline constexpr int DEVICE_IRQ_COUNT = 102;  // device vectors 0..101
inline constexpr uint32_t NVIC_PRIO_BITS = 4;  // priority lives in the upper nibble of each byte

// ---------------------------------------------------------------------------------------------------------
// bxCAN
inline constexpr uint32_t CAN_MCR_INRQ = 1U << 0;
inline constexpr uint32_t CAN_MCR_SLEEP = 1U << 1;
inline constexpr uint32_t CAN_MCR_TXFP = 1U << 2;
inline constexpr uint32_t CAN_MCR_RFLM = 1U << 3;
inline constexpr uint32_t CAN_MCR_NART = 1U << 4;
inline constexpr uint32_t CAN_MCR_AWUM = 1U << 5;
inline constexpr uint32_t CAN_MCR_ABOM = 1U << 6;
inline constexpr uint32_t CAN_MCR_TTCM = 1U << 7;
inline constexpr uint32_t CAN_MCR_RESET = 1U << 15;
inline constexpr uint32_t CAN_MCR_DBF = 1U << 16;

inline constexpr uint32_t CAN_MSR_INAK = 1U << 0;
inline constexpr uint32_t CAN_MSR_SLAK = 1U << 1;
inline constexpr uint32_t CAN_MSR_ERRI = 1U << 2;
inline constexpr uint32_t CAN_MSR_WKUI = 1U << 3;
inline constexpr uint32_t CAN_MSR_SLAKI = 1U << 4;
inline constexpr uint32_t CAN_MSR_TXM = 1U << 8;
inline constexpr uint32_t CAN_MSR_RXM = 1U << 9;
inline constexpr uint32_t CAN_MSR_SAMP = 1U << 10;
inline constexpr uint32_t CAN_MSR_RX = 1U << 11;

inline constexpr uint32_t CAN_TSR_RQCP0 = 1U << 0;
inline constexpr uint32_t CAN_TSR_TXOK0 = 1U << 1;
inline constexpr uint32_t CAN_TSR_ALST0 = 1U << 2;
inline constexpr uint32_t CAN_TSR_TERR0 = 1U << 3;
inline constexpr uint32_t CAN_TSR_ABRQ0 = 1U << 7;
inline constexpr uint32_t CAN_TSR_RQCP1 = 1U << 8;
inline constexpr uint32_t CAN_TSR_TXOK1 = 1U << 9;
inline constexpr uint32_t CAN_TSR_ALST1 = 1U << 10;
inline constexpr uint32_t CAN_TSR_TERR1 = 1U << 11;
inline constexpr uint32_t CAN_TSR_ABRQ1 = 1U << 15;
inline constexpr uint32_t CAN_TSR_RQCP2 = 1U << 16;
inline constexpr uint32_t CAN_TSR_TXOK2 = 1U << 17;
inline constexpr uint32_t CAN_TSR_ALST2 = 1U << 18;
inline constexpr uint32_t CAN_TSR_TERR2 = 1U << 19;
inline constexpr uint32_t CAN_TSR_ABRQ2 = 1U << 23;
inline constexpr uint32_t CAN_TSR_CODE_Pos = 24;
inline constexpr uint32_t CAN_TSR_CODE = 3U << CAN_TSR_CODE_Pos;
inline constexpr uint32_t CAN_TSR_TME_Pos = 26;
inline constexpr uint32_t CAN_TSR_TME0 = 1U << 26;
inline constexpr uint32_t CAN_TSR_TME1 = 1U << 27;
inline constexpr uint32_t CAN_TSR_TME2 = 1U << 28;
inline constexpr uint32_t CAN_TSR_TME = CAN_TSR_TME0 | CAN_TSR_TME1 | CAN_TSR_TME2;
inline constexpr uint32_t CAN_TSR_LOW0 = 1U << 29;
inline constexpr uint32_t CAN_TSR_LOW1 = 1U << 30;
inline constexpr uint32_t CAN_TSR_LOW2 = 1U << 31;

inline constexpr uint32_t CAN_RF0R_FMP0 = 3U << 0;
inline constexpr uint32_t CAN_RF0R_FULL0 = 1U << 3;
inline constexpr uint32_t CAN_RF0R_FOVR0 = 1U << 4;
inline constexpr uint32_t CAN_RF0R_RFOM0 = 1U << 5;
inline constexpr uint32_t CAN_RF1R_FMP1 = 3U << 0;
inline constexpr uint32_t CAN_RF1R_FULL1 = 1U << 3;
inline constexpr uint32_t CAN_RF1R_FOVR1 = 1U << 4;
inline constexpr uint32_t CAN_RF1R_RFOM1 = 1U << 5;

inline constexpr uint32_t CAN_IER_TMEIE = 1U << 0;
inline constexpr uint32_t CAN_IER_FMPIE0 = 1U << 1;
inline constexpr uint32_t CAN_IER_FFIE0 = 1U << 2;
inline constexpr uint32_t CAN_IER_FOVIE0 = 1U << 3;
inline constexpr uint32_t CAN_IER_FMPIE1 = 1U << 4;
inline constexpr uint32_t CAN_IER_FFIE1 = 1U << 5;
inline constexpr uint32_t CAN_IER_FOVIE1 = 1U << 6;
inline constexpr uint32_t CAN_IER_EWGIE = 1U << 8;
inline constexpr uint32_t CAN_IER_EPVIE = 1U << 9;
inline constexpr uint32_t CAN_IER_BOFIE = 1U << 10;
inline constexpr uint32_t CAN_IER_LECIE = 1U << 11;
inline constexpr uint32_t CAN_IER_ERRIE = 1U << 15;
inline constexpr uint32_t CAN_IER_WKUIE = 1U << 16;
inline constexpr uint32_t CAN_IER_SLKIE = 1U << 17;

inline constexpr uint32_t CAN_ESR_EWGF = 1U << 0;
inline constexpr uint32_t CAN_ESR_EPVF = 1U << 1;
inline constexpr uint32_t CAN_ESR_BOFF = 1U << 2;
inline constexpr uint32_t CAN_ESR_LEC_Pos = 4;
inline constexpr uint32_t CAN_ESR_LEC = 7U << CAN_ESR_LEC_Pos;
inline constexpr uint32_t CAN_ESR_TEC_Pos = 16;
inline constexpr uint32_t CAN_ESR_TEC = 0xFFU << CAN_ESR_TEC_Pos;
inline constexpr uint32_t CAN_ESR_REC_Pos = 24;
inline constexpr uint32_t CAN_ESR_REC = 0xFFU << CAN_ESR_REC_Pos;
// Values of ESR.LEC (last error code).
inline constexpr uint32_t CAN_LEC_NONE = 0;
inline constexpr uint32_t CAN_LEC_STUFF = 1;
inline constexpr uint32_t CAN_LEC_FORM = 2;
inline constexpr uint32_t CAN_LEC_ACK = 3;
inline constexpr uint32_t CAN_LEC_BIT_RECESSIVE = 4;
inline constexpr uint32_t CAN_LEC_BIT_DOMINANT = 5;
inline constexpr uint32_t CAN_LEC_CRC = 6;
inline constexpr uint32_t CAN_LEC_SOFTWARE = 7;

inline constexpr uint32_t CAN_BTR_BRP = 0x3FFU << 0;
inline constexpr uint32_t CAN_BTR_TS1_Pos = 16;
inline constexpr uint32_t CAN_BTR_TS1 = 0xFU << CAN_BTR_TS1_Pos;
inline constexpr uint32_t CAN_BTR_TS2_Pos = 20;
inline constexpr uint32_t CAN_BTR_TS2 = 0x7U << CAN_BTR_TS2_Pos;
inline constexpr uint32_t CAN_BTR_SJW_Pos = 24;
inline constexpr uint32_t CAN_BTR_SJW = 0x3U << CAN_BTR_SJW_Pos;
inline constexpr uint32_t CAN_BTR_LBKM = 1U << 30;
inline constexpr uint32_t CAN_BTR_SILM = 1U << 31;

// TIR (transmit) and RIR (receive) share the identifier layout; TXRQ exists in TIR only.
inline constexpr uint32_t CAN_TI0R_TXRQ = 1U << 0;
inline constexpr uint32_t CAN_TI0R_RTR = 1U << 1;
inline constexpr uint32_t CAN_TI0R_IDE = 1U << 2;
inline constexpr uint32_t CAN_TI0R_EXID_Pos = 3;
inline constexpr uint32_t CAN_TI0R_EXID = 0x3FFFFU << CAN_TI0R_EXID_Pos;
inline constexpr uint32_t CAN_TI0R_STID_Pos = 21;
inline constexpr uint32_t CAN_TI0R_STID = 0x7FFU << CAN_TI0R_STID_Pos;
inline constexpr uint32_t CAN_TI1R_TXRQ = CAN_TI0R_TXRQ;
inline constexpr uint32_t CAN_TI2R_TXRQ = CAN_TI0R_TXRQ;
inline constexpr uint32_t CAN_RI0R_RTR = 1U << 1;
inline constexpr uint32_t CAN_RI0R_IDE = 1U << 2;
inline constexpr uint32_t CAN_RI0R_EXID_Pos = 3;
inline constexpr uint32_t CAN_RI0R_EXID = 0x3FFFFU << CAN_RI0R_EXID_Pos;
inline constexpr uint32_t CAN_RI0R_STID_Pos = 21;
inline constexpr uint32_t CAN_RI0R_STID = 0x7FFU << CAN_RI0R_STID_Pos;
inline constexpr uint32_t CAN_TDT0R_DLC = 0xFU << 0;
inline constexpr uint32_t CAN_TDT0R_TGT = 1U << 8;
inline constexpr uint32_t CAN_TDT0R_TIME_Pos = 16;
inline constexpr uint32_t CAN_RDT0R_DLC = 0xFU << 0;
inline constexpr uint32_t CAN_RDT0R_FMI_Pos = 8;
inline constexpr uint32_t CAN_RDT0R_FMI = 0xFFU << CAN_RDT0R_FMI_Pos;
inline constexpr uint32_t CAN_RDT0R_TIME_Pos = 16;
inline constexpr uint32_t CAN_RDT0R_TIME = 0xFFFFU << CAN_RDT0R_TIME_Pos;

inline constexpr uint32_t CAN_FMR_FINIT = 1U << 0;
inline constexpr uint32_t CAN_FMR_CAN2SB_Pos = 8;
inline constexpr uint32_t CAN_FMR_CAN2SB = 0x3FU << CAN_FMR_CAN2SB_Pos;

inline constexpr unsigned CAN_TX_MAILBOXES = 3;
inline constexpr unsigned CAN_RX_FIFOS = 2;
inline constexpr unsigned CAN_RX_FIFO_DEPTH = 3;
inline constexpr unsigned CAN_FILTER_BANKS = 28;        // CAN1's block, shared with CAN2
inline constexpr unsigned CAN3_FILTER_BANKS = 14;       // CAN3's own block
inline constexpr unsigned CAN2SB_RESET = 14;            // CAN2's first bank after reset

// ---------------------------------------------------------------------------------------------------------
// GPIO
inline constexpr uint32_t GPIO_MODER_INPUT = 0;
inline constexpr uint32_t GPIO_MODER_OUTPUT = 1;
inline constexpr uint32_t GPIO_MODER_AF = 2;
inline constexpr uint32_t GPIO_MODER_ANALOG = 3;
inline constexpr unsigned GPIO_PINS = 16;

// ---------------------------------------------------------------------------------------------------------
// RCC
inline constexpr uint32_t RCC_CR_HSION = 1U << 0;
inline constexpr uint32_t RCC_CR_HSIRDY = 1U << 1;
inline constexpr uint32_t RCC_CR_HSEON = 1U << 16;
inline constexpr uint32_t RCC_CR_HSERDY = 1U << 17;
inline constexpr uint32_t RCC_CR_HSEBYP = 1U << 18;
inline constexpr uint32_t RCC_CR_CSSON = 1U << 19;
inline constexpr uint32_t RCC_CR_PLLON = 1U << 24;
inline constexpr uint32_t RCC_CR_PLLRDY = 1U << 25;
inline constexpr uint32_t RCC_CR_PLLI2SON = 1U << 26;
inline constexpr uint32_t RCC_CR_PLLI2SRDY = 1U << 27;

// RCC_CSR: the LSI (the independent watchdog's clock) and the reset flags, kept through every reset but a
// power-on until RMVF clears them.
inline constexpr uint32_t RCC_CSR_LSION = 1U << 0;
inline constexpr uint32_t RCC_CSR_LSIRDY = 1U << 1;
inline constexpr uint32_t RCC_CSR_RMVF = 1U << 24;
inline constexpr uint32_t RCC_CSR_BORRSTF = 1U << 25;
inline constexpr uint32_t RCC_CSR_PINRSTF = 1U << 26;
inline constexpr uint32_t RCC_CSR_PORRSTF = 1U << 27;
inline constexpr uint32_t RCC_CSR_SFTRSTF = 1U << 28;
inline constexpr uint32_t RCC_CSR_IWDGRSTF = 1U << 29;
inline constexpr uint32_t RCC_CSR_WWDGRSTF = 1U << 30;
inline constexpr uint32_t RCC_CSR_LPWRRSTF = 1U << 31;
inline constexpr uint32_t RCC_CSR_RESET_FLAGS = 0xFEU << 24;
inline constexpr uint32_t RCC_CSR_POWER_ON = RCC_CSR_BORRSTF | RCC_CSR_PINRSTF | RCC_CSR_PORRSTF;

// IWDG: keys written to KR, the prescaler's dividers (PR 0..6 = /4../256), the reload's 12 bits, and the
// updates of PR and RLR still on their way into the LSI domain.
inline constexpr uint32_t IWDG_KEY_RELOAD = 0xAAAAU;
inline constexpr uint32_t IWDG_KEY_ENABLE = 0xCCCCU;
inline constexpr uint32_t IWDG_KEY_WRITE_ACCESS = 0x5555U;
inline constexpr uint32_t IWDG_PR_MAX = 6U;
inline constexpr uint32_t IWDG_RLR_MAX = 0xFFFU;
inline constexpr uint32_t IWDG_SR_PVU = 1U << 0;
inline constexpr uint32_t IWDG_SR_RVU = 1U << 1;
inline constexpr uint32_t LSI_TYPICAL_HZ = 32000U;

inline constexpr uint32_t RCC_PLLCFGR_PLLM_Pos = 0;
inline constexpr uint32_t RCC_PLLCFGR_PLLM = 0x3FU << RCC_PLLCFGR_PLLM_Pos;
inline constexpr uint32_t RCC_PLLCFGR_PLLN_Pos = 6;
inline constexpr uint32_t RCC_PLLCFGR_PLLN = 0x1FFU << RCC_PLLCFGR_PLLN_Pos;
inline constexpr uint32_t RCC_PLLCFGR_PLLP_Pos = 16;
inline constexpr uint32_t RCC_PLLCFGR_PLLP = 0x3U << RCC_PLLCFGR_PLLP_Pos;
inline constexpr uint32_t RCC_PLLCFGR_PLLSRC = 1U << 22;
inline constexpr uint32_t RCC_PLLCFGR_PLLQ_Pos = 24;
inline constexpr uint32_t RCC_PLLCFGR_PLLQ = 0xFU << RCC_PLLCFGR_PLLQ_Pos;
inline constexpr uint32_t RCC_PLLCFGR_PLLR_Pos = 28;
inline constexpr uint32_t RCC_PLLCFGR_PLLR = 0x7U << RCC_PLLCFGR_PLLR_Pos;
inline constexpr uint32_t RCC_PLLCFGR_RESET = 0x24003010U;

inline constexpr uint32_t RCC_CFGR_SW_Pos = 0;
inline constexpr uint32_t RCC_CFGR_SW = 0x3U << RCC_CFGR_SW_Pos;
inline constexpr uint32_t RCC_CFGR_SW_HSI = 0U;
inline constexpr uint32_t RCC_CFGR_SW_HSE = 1U;
inline constexpr uint32_t RCC_CFGR_SW_PLL = 2U;
inline constexpr uint32_t RCC_CFGR_SWS_Pos = 2;
inline constexpr uint32_t RCC_CFGR_SWS = 0x3U << RCC_CFGR_SWS_Pos;
inline constexpr uint32_t RCC_CFGR_SWS_PLL = 2U << RCC_CFGR_SWS_Pos;
inline constexpr uint32_t RCC_CFGR_HPRE_Pos = 4;
inline constexpr uint32_t RCC_CFGR_HPRE = 0xFU << RCC_CFGR_HPRE_Pos;
inline constexpr uint32_t RCC_CFGR_PPRE1_Pos = 10;
inline constexpr uint32_t RCC_CFGR_PPRE1 = 0x7U << RCC_CFGR_PPRE1_Pos;
inline constexpr uint32_t RCC_CFGR_PPRE1_DIV2 = 4U << RCC_CFGR_PPRE1_Pos;
inline constexpr uint32_t RCC_CFGR_PPRE2_Pos = 13;
inline constexpr uint32_t RCC_CFGR_PPRE2 = 0x7U << RCC_CFGR_PPRE2_Pos;

inline constexpr uint32_t RCC_DCKCFGR_TIMPRE = 1U << 24;

// Clock-enable / reset bits, one name per bus and peripheral (same bit in the ENR and RSTR registers).
inline constexpr uint32_t RCC_AHB1Periph_GPIOA = 1U << 0;
inline constexpr uint32_t RCC_AHB1Periph_GPIOB = 1U << 1;
inline constexpr uint32_t RCC_AHB1Periph_GPIOC = 1U << 2;
inline constexpr uint32_t RCC_AHB1Periph_GPIOD = 1U << 3;
inline constexpr uint32_t RCC_AHB1Periph_GPIOE = 1U << 4;
inline constexpr uint32_t RCC_AHB1Periph_GPIOF = 1U << 5;
inline constexpr uint32_t RCC_AHB1Periph_GPIOG = 1U << 6;
inline constexpr uint32_t RCC_AHB1Periph_GPIOH = 1U << 7;
inline constexpr uint32_t RCC_AHB1Periph_CRC = 1U << 12;
inline constexpr uint32_t RCC_AHB1Periph_DMA1 = 1U << 21;
inline constexpr uint32_t RCC_AHB1Periph_DMA2 = 1U << 22;

inline constexpr uint32_t RCC_APB1Periph_TIM2 = 1U << 0;
inline constexpr uint32_t RCC_APB1Periph_TIM5 = 1U << 3;
inline constexpr uint32_t RCC_APB1Periph_WWDG = 1U << 11;
inline constexpr uint32_t RCC_APB1Periph_USART2 = 1U << 17;
inline constexpr uint32_t RCC_APB1Periph_CAN1 = 1U << 25;
inline constexpr uint32_t RCC_APB1Periph_CAN2 = 1U << 26;
inline constexpr uint32_t RCC_APB1Periph_CAN3 = 1U << 27;
inline constexpr uint32_t RCC_APB1Periph_PWR = 1U << 28;
// The defined bits of the AHB reset registers: GPIOA..H, CRC, DMA1, DMA2; CRYP, RNG, OTG FS; FSMC, QSPI.
inline constexpr uint32_t RCC_AHB1RSTR_ALL = 0xFFU | (1U << 12) | (1U << 21) | (1U << 22);
inline constexpr uint32_t RCC_AHB2RSTR_ALL = (1U << 4) | (1U << 6) | (1U << 7);
inline constexpr uint32_t RCC_AHB3RSTR_ALL = (1U << 0) | (1U << 1);

inline constexpr uint32_t RCC_APB2Periph_USART1 = 1U << 4;
inline constexpr uint32_t RCC_APB2Periph_SYSCFG = 1U << 14;

// ---------------------------------------------------------------------------------------------------------
// USART
inline constexpr uint32_t USART_SR_PE = 1U << 0;
inline constexpr uint32_t USART_SR_FE = 1U << 1;
inline constexpr uint32_t USART_SR_NE = 1U << 2;
inline constexpr uint32_t USART_SR_ORE = 1U << 3;
inline constexpr uint32_t USART_SR_IDLE = 1U << 4;
inline constexpr uint32_t USART_SR_RXNE = 1U << 5;
inline constexpr uint32_t USART_SR_TC = 1U << 6;
inline constexpr uint32_t USART_SR_TXE = 1U << 7;
inline constexpr uint32_t USART_SR_LBD = 1U << 8;
inline constexpr uint32_t USART_SR_CTS = 1U << 9;
inline constexpr uint32_t USART_DR_DR = 0x1FFU;
inline constexpr uint32_t USART_BRR_DIV_Fraction = 0xFU;
inline constexpr uint32_t USART_BRR_DIV_Mantissa_Pos = 4;
inline constexpr uint32_t USART_BRR_DIV_Mantissa = 0xFFFU << USART_BRR_DIV_Mantissa_Pos;
inline constexpr uint32_t USART_CR1_SBK = 1U << 0;
inline constexpr uint32_t USART_CR1_RWU = 1U << 1;
inline constexpr uint32_t USART_CR1_RE = 1U << 2;
inline constexpr uint32_t USART_CR1_TE = 1U << 3;
inline constexpr uint32_t USART_CR1_IDLEIE = 1U << 4;
inline constexpr uint32_t USART_CR1_RXNEIE = 1U << 5;
inline constexpr uint32_t USART_CR1_TCIE = 1U << 6;
inline constexpr uint32_t USART_CR1_TXEIE = 1U << 7;
inline constexpr uint32_t USART_CR1_PEIE = 1U << 8;
inline constexpr uint32_t USART_CR1_PS = 1U << 9;
inline constexpr uint32_t USART_CR1_PCE = 1U << 10;
inline constexpr uint32_t USART_CR1_WAKE = 1U << 11;
inline constexpr uint32_t USART_CR1_M = 1U << 12;
inline constexpr uint32_t USART_CR1_UE = 1U << 13;
inline constexpr uint32_t USART_CR1_OVER8 = 1U << 15;
inline constexpr uint32_t USART_CR2_LBDIE = 1U << 6;
inline constexpr uint32_t USART_CR2_CLKEN = 1U << 11;
inline constexpr uint32_t USART_CR2_STOP_Pos = 12;
inline constexpr uint32_t USART_CR2_STOP = 3U << USART_CR2_STOP_Pos;
inline constexpr uint32_t USART_CR2_LINEN = 1U << 14;
inline constexpr uint32_t USART_CR3_EIE = 1U << 0;
inline constexpr uint32_t USART_CR3_IREN = 1U << 1;
inline constexpr uint32_t USART_CR3_HDSEL = 1U << 3;
inline constexpr uint32_t USART_CR3_SCEN = 1U << 5;
inline constexpr uint32_t USART_CR3_RTSE = 1U << 8;
inline constexpr uint32_t USART_CR3_CTSE = 1U << 9;
inline constexpr uint32_t USART_CR3_CTSIE = 1U << 10;

// ---------------------------------------------------------------------------------------------------------
// General-purpose timers (TIM2, TIM5)
inline constexpr uint32_t TIM_CR1_CEN = 1U << 0;
inline constexpr uint32_t TIM_CR1_UDIS = 1U << 1;
inline constexpr uint32_t TIM_CR1_URS = 1U << 2;
inline constexpr uint32_t TIM_CR1_OPM = 1U << 3;
inline constexpr uint32_t TIM_CR1_DIR = 1U << 4;
inline constexpr uint32_t TIM_CR1_CMS = 3U << 5;
inline constexpr uint32_t TIM_CR1_ARPE = 1U << 7;
inline constexpr uint32_t TIM_CR1_CKD = 3U << 8;
inline constexpr uint32_t TIM_SR_UIF = 1U << 0;
inline constexpr uint32_t TIM_EGR_UG = 1U << 0;
inline constexpr uint32_t TIM_CCMR1_OC1PE = 1U << 3;
inline constexpr uint32_t TIM_CCMR1_OC1M_Pos = 4;
inline constexpr uint32_t TIM_CCMR1_OC1M = 7U << TIM_CCMR1_OC1M_Pos;
inline constexpr uint32_t TIM_CCMR1_OC2PE = 1U << 11;
inline constexpr uint32_t TIM_CCMR1_OC2M_Pos = 12;
inline constexpr uint32_t TIM_CCMR1_OC2M = 7U << TIM_CCMR1_OC2M_Pos;
inline constexpr uint32_t TIM_CCMR2_OC3PE = 1U << 3;
inline constexpr uint32_t TIM_CCMR2_OC3M_Pos = 4;
inline constexpr uint32_t TIM_CCMR2_OC3M = 7U << TIM_CCMR2_OC3M_Pos;
inline constexpr uint32_t TIM_CCMR2_OC4PE = 1U << 11;
inline constexpr uint32_t TIM_CCMR2_OC4M_Pos = 12;
inline constexpr uint32_t TIM_CCMR2_OC4M = 7U << TIM_CCMR2_OC4M_Pos;
inline constexpr uint32_t TIM_CCER_CC1E = 1U << 0;
inline constexpr uint32_t TIM_CCER_CC1P = 1U << 1;
inline constexpr uint32_t TIM_CCER_CC2E = 1U << 4;
inline constexpr uint32_t TIM_CCER_CC2P = 1U << 5;
inline constexpr uint32_t TIM_CCER_CC3E = 1U << 8;
inline constexpr uint32_t TIM_CCER_CC3P = 1U << 9;
inline constexpr uint32_t TIM_CCER_CC4E = 1U << 12;
inline constexpr uint32_t TIM_CCER_CC4P = 1U << 13;

// ---------------------------------------------------------------------------------------------------------
// Flash interface
inline constexpr uint32_t FLASH_ACR_LATENCY = 0xFU << 0;
inline constexpr uint32_t FLASH_ACR_PRFTEN = 1U << 8;
inline constexpr uint32_t FLASH_ACR_ICEN = 1U << 9;
inline constexpr uint32_t FLASH_ACR_DCEN = 1U << 10;
inline constexpr uint32_t FLASH_ACR_ICRST = 1U << 11;
inline constexpr uint32_t FLASH_ACR_DCRST = 1U << 12;
inline constexpr uint32_t FLASH_KEY1 = 0x45670123U;
inline constexpr uint32_t FLASH_KEY2 = 0xCDEF89ABU;
inline constexpr uint32_t FLASH_SR_EOP = 1U << 0;
inline constexpr uint32_t FLASH_SR_OPERR = 1U << 1;
inline constexpr uint32_t FLASH_SR_WRPERR = 1U << 4;
inline constexpr uint32_t FLASH_SR_PGAERR = 1U << 5;
inline constexpr uint32_t FLASH_SR_PGPERR = 1U << 6;
inline constexpr uint32_t FLASH_SR_PGSERR = 1U << 7;
inline constexpr uint32_t FLASH_SR_RDERR = 1U << 8;
inline constexpr uint32_t FLASH_SR_BSY = 1U << 16;
inline constexpr uint32_t FLASH_CR_PG = 1U << 0;
inline constexpr uint32_t FLASH_CR_SER = 1U << 1;
inline constexpr uint32_t FLASH_CR_MER = 1U << 2;
inline constexpr uint32_t FLASH_CR_SNB_Pos = 3;
inline constexpr uint32_t FLASH_CR_SNB = 0xFU << FLASH_CR_SNB_Pos;
inline constexpr uint32_t FLASH_CR_PSIZE_Pos = 8;
inline constexpr uint32_t FLASH_CR_PSIZE = 3U << FLASH_CR_PSIZE_Pos;
inline constexpr uint32_t FLASH_CR_STRT = 1U << 16;
inline constexpr uint32_t FLASH_CR_EOPIE = 1U << 24;
inline constexpr uint32_t FLASH_CR_ERRIE = 1U << 25;
inline constexpr uint32_t FLASH_CR_LOCK = 1U << 31;

// ---------------------------------------------------------------------------------------------------------
// PWR
inline constexpr uint32_t PWR_CR_VOS_Pos = 14;
inline constexpr uint32_t PWR_CR_VOS = 3U << PWR_CR_VOS_Pos;
inline constexpr uint32_t PWR_CSR_VOSRDY = 1U << 14;

// ---------------------------------------------------------------------------------------------------------
// Core: SCB, SysTick
inline constexpr uint32_t SCB_AIRCR_VECTKEY_Pos = 16;
inline constexpr uint32_t SCB_AIRCR_VECTKEY = 0xFFFFU << SCB_AIRCR_VECTKEY_Pos;
inline constexpr uint32_t SCB_AIRCR_VECTKEY_WRITE = 0x05FAU << SCB_AIRCR_VECTKEY_Pos;
inline constexpr uint32_t SCB_AIRCR_PRIGROUP_Pos = 8;
inline constexpr uint32_t SCB_AIRCR_PRIGROUP = 7U << SCB_AIRCR_PRIGROUP_Pos;
inline constexpr uint32_t SCB_AIRCR_SYSRESETREQ = 1U << 2;
inline constexpr uint32_t SCB_CPACR_CP10_CP11 = 0xFU << 20;  // full access to the FPU

inline constexpr uint32_t SysTick_CTRL_ENABLE_Msk = 1U << 0;
inline constexpr uint32_t SysTick_CTRL_TICKINT_Msk = 1U << 1;
inline constexpr uint32_t SysTick_CTRL_CLKSOURCE_Msk = 1U << 2;
inline constexpr uint32_t SysTick_CTRL_COUNTFLAG_Msk = 1U << 16;
inline constexpr uint32_t SysTick_LOAD_RELOAD_Msk = 0xFFFFFFU;
inline constexpr uint32_t SysTick_VAL_CURRENT_Msk = 0xFFFFFFU;
