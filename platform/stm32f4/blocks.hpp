#pragma once
// Layouts of the register blocks the node uses, identical for the real and the simulated chip. The
// including chip.hpp first defines the register type HwReg32 / HwReg8 (a volatile word on the chip, a
// model-backed word in the simulator); both are exactly one word (byte) wide, so the offsets below hold
// for both and are checked here once.

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------------------------------------
// bxCAN. The filter block (FMR onwards) is only functional in CAN1 (shared with CAN2) and CAN3.
struct CAN_TxMailBox_TypeDef {
    HwReg32 TIR;
    HwReg32 TDTR;
    HwReg32 TDLR;
    HwReg32 TDHR;
};

struct CAN_FIFOMailBox_TypeDef {
    HwReg32 RIR;
    HwReg32 RDTR;
    HwReg32 RDLR;
    HwReg32 RDHR;
};

struct CAN_FilterRegister_TypeDef {
    HwReg32 FR1;
    HwReg32 FR2;
};

struct CAN_TypeDef {
    HwReg32 MCR;
    HwReg32 MSR;
    HwReg32 TSR;
    HwReg32 RF0R;
    HwReg32 RF1R;
    HwReg32 IER;
    HwReg32 ESR;
    HwReg32 BTR;
    uint32_t RESERVED0[88];
    CAN_TxMailBox_TypeDef sTxMailBox[3];
    CAN_FIFOMailBox_TypeDef sFIFOMailBox[2];
    uint32_t RESERVED1[12];
    HwReg32 FMR;
    HwReg32 FM1R;
    uint32_t RESERVED2;
    HwReg32 FS1R;
    uint32_t RESERVED3;
    HwReg32 FFA1R;
    uint32_t RESERVED4;
    HwReg32 FA1R;
    uint32_t RESERVED5[8];
    CAN_FilterRegister_TypeDef sFilterRegister[28];
};

// ---------------------------------------------------------------------------------------------------------
struct GPIO_TypeDef {
    HwReg32 MODER;
    HwReg32 OTYPER;
    HwReg32 OSPEEDR;
    HwReg32 PUPDR;
    HwReg32 IDR;
    HwReg32 ODR;
    HwReg32 BSRR;
    HwReg32 LCKR;
    HwReg32 AFR[2];
};

struct RCC_TypeDef {
    HwReg32 CR;
    HwReg32 PLLCFGR;
    HwReg32 CFGR;
    HwReg32 CIR;
    HwReg32 AHB1RSTR;
    HwReg32 AHB2RSTR;
    HwReg32 AHB3RSTR;
    uint32_t RESERVED0;
    HwReg32 APB1RSTR;
    HwReg32 APB2RSTR;
    uint32_t RESERVED1[2];
    HwReg32 AHB1ENR;
    HwReg32 AHB2ENR;
    HwReg32 AHB3ENR;
    uint32_t RESERVED2;
    HwReg32 APB1ENR;
    HwReg32 APB2ENR;
    uint32_t RESERVED3[2];
    HwReg32 AHB1LPENR;
    HwReg32 AHB2LPENR;
    HwReg32 AHB3LPENR;
    uint32_t RESERVED4;
    HwReg32 APB1LPENR;
    HwReg32 APB2LPENR;
    uint32_t RESERVED5[2];
    HwReg32 BDCR;
    HwReg32 CSR;
    uint32_t RESERVED6[2];
    HwReg32 SSCGR;
    HwReg32 PLLI2SCFGR;
    uint32_t RESERVED7;
    HwReg32 DCKCFGR;
    HwReg32 CKGATENR;
    HwReg32 DCKCFGR2;
};

struct USART_TypeDef {
    HwReg32 SR;
    HwReg32 DR;
    HwReg32 BRR;
    HwReg32 CR1;
    HwReg32 CR2;
    HwReg32 CR3;
    HwReg32 GTPR;
};

struct TIM_TypeDef {
    HwReg32 CR1;
    HwReg32 CR2;
    HwReg32 SMCR;
    HwReg32 DIER;
    HwReg32 SR;
    HwReg32 EGR;
    HwReg32 CCMR1;
    HwReg32 CCMR2;
    HwReg32 CCER;
    HwReg32 CNT;
    HwReg32 PSC;
    HwReg32 ARR;
    HwReg32 RCR;
    HwReg32 CCR1;
    HwReg32 CCR2;
    HwReg32 CCR3;
    HwReg32 CCR4;
    HwReg32 BDTR;
    HwReg32 DCR;
    HwReg32 DMAR;
    HwReg32 OR;
};

struct FLASH_TypeDef {
    HwReg32 ACR;
    HwReg32 KEYR;
    HwReg32 OPTKEYR;
    HwReg32 SR;
    HwReg32 CR;
    HwReg32 OPTCR;
};

struct PWR_TypeDef {
    HwReg32 CR;
    HwReg32 CSR;
};

// The 96-bit unique device ID in system memory (read-only).
struct UID_TypeDef {
    HwReg32 W[3];
};

struct WWDG_TypeDef {
    HwReg32 CR;
    HwReg32 CFR;
    HwReg32 SR;
};

struct IWDG_TypeDef {
    HwReg32 KR;
    HwReg32 PR;
    HwReg32 RLR;
    HwReg32 SR;
};

// ---------------------------------------------------------------------------------------------------------
// Cortex-M4 core
struct SysTick_Type {
    HwReg32 CTRL;
    HwReg32 LOAD;
    HwReg32 VAL;
    HwReg32 CALIB;
};

struct NVIC_Type {
    HwReg32 ISER[8];
    uint32_t RESERVED0[24];
    HwReg32 ICER[8];
    uint32_t RESERVED1[24];
    HwReg32 ISPR[8];
    uint32_t RESERVED2[24];
    HwReg32 ICPR[8];
    uint32_t RESERVED3[24];
    HwReg32 IABR[8];
    uint32_t RESERVED4[56];
    HwReg8 IP[240];  // priority of IRQ n in the upper nibble of byte n
    uint32_t RESERVED5[644];
    HwReg32 STIR;
};

struct SCB_Type {
    HwReg32 CPUID;
    HwReg32 ICSR;
    HwReg32 VTOR;
    HwReg32 AIRCR;
    HwReg32 SCR;
    HwReg32 CCR;
    HwReg8 SHP[12];  // priorities of the core exceptions 4..15 (SysTick: SHP[11])
    HwReg32 SHCSR;
    HwReg32 CFSR;
    HwReg32 HFSR;
    HwReg32 DFSR;
    HwReg32 MMFAR;
    HwReg32 BFAR;
    HwReg32 AFSR;
    HwReg32 PFR[2];
    HwReg32 DFR;
    HwReg32 ADR;
    HwReg32 MMFR[4];
    HwReg32 ISAR[5];
    uint32_t RESERVED0[5];
    HwReg32 CPACR;
};

// ---------------------------------------------------------------------------------------------------------
// The documented offsets, for both chips.
static_assert(offsetof(CAN_TypeDef, BTR) == 0x01C);
static_assert(offsetof(CAN_TypeDef, sTxMailBox) == 0x180);
static_assert(offsetof(CAN_TypeDef, sTxMailBox[2].TDHR) == 0x1AC);
static_assert(offsetof(CAN_TypeDef, sFIFOMailBox) == 0x1B0);
static_assert(offsetof(CAN_TypeDef, sFIFOMailBox[1].RDHR) == 0x1CC);
static_assert(offsetof(CAN_TypeDef, FMR) == 0x200);
static_assert(offsetof(CAN_TypeDef, FM1R) == 0x204);
static_assert(offsetof(CAN_TypeDef, FS1R) == 0x20C);
static_assert(offsetof(CAN_TypeDef, FFA1R) == 0x214);
static_assert(offsetof(CAN_TypeDef, FA1R) == 0x21C);
static_assert(offsetof(CAN_TypeDef, sFilterRegister) == 0x240);
static_assert(offsetof(CAN_TypeDef, sFilterRegister[27].FR2) == 0x31C);
static_assert(sizeof(CAN_TypeDef) == 0x320);

static_assert(offsetof(GPIO_TypeDef, IDR) == 0x10);
static_assert(offsetof(GPIO_TypeDef, BSRR) == 0x18);
static_assert(offsetof(GPIO_TypeDef, AFR) == 0x20);
static_assert(sizeof(GPIO_TypeDef) == 0x28);

static_assert(offsetof(RCC_TypeDef, APB1RSTR) == 0x20);
static_assert(offsetof(RCC_TypeDef, AHB1ENR) == 0x30);
static_assert(offsetof(RCC_TypeDef, APB1ENR) == 0x40);
static_assert(offsetof(RCC_TypeDef, APB2ENR) == 0x44);
static_assert(offsetof(RCC_TypeDef, BDCR) == 0x70);
static_assert(offsetof(RCC_TypeDef, CSR) == 0x74);
static_assert(offsetof(RCC_TypeDef, DCKCFGR) == 0x8C);
static_assert(offsetof(RCC_TypeDef, DCKCFGR2) == 0x94);

static_assert(offsetof(USART_TypeDef, CR1) == 0x0C);
static_assert(offsetof(USART_TypeDef, GTPR) == 0x18);

static_assert(offsetof(TIM_TypeDef, CCER) == 0x20);
static_assert(offsetof(TIM_TypeDef, ARR) == 0x2C);
static_assert(offsetof(TIM_TypeDef, CCR1) == 0x34);
static_assert(offsetof(TIM_TypeDef, CCR4) == 0x40);
static_assert(offsetof(TIM_TypeDef, OR) == 0x50);

static_assert(offsetof(FLASH_TypeDef, SR) == 0x0C);
static_assert(offsetof(IWDG_TypeDef, SR) == 0x0C);
static_assert(offsetof(FLASH_TypeDef, CR) == 0x10);

static_assert(offsetof(SysTick_Type, CALIB) == 0x0C);
static_assert(offsetof(NVIC_Type, ICER) == 0x080);
static_assert(offsetof(NVIC_Type, ISPR) == 0x100);
static_assert(offsetof(NVIC_Type, IABR) == 0x200);
static_assert(offsetof(NVIC_Type, IP) == 0x300);
static_assert(offsetof(NVIC_Type, STIR) == 0xE00);
static_assert(offsetof(SCB_Type, AIRCR) == 0x0C);
static_assert(offsetof(SCB_Type, SHP) == 0x18);
static_assert(offsetof(SCB_Type, SHCSR) == 0x24);
static_assert(offsetof(SCB_Type, CPACR) == 0x88);
