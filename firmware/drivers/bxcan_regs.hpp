#pragma once
// The bxCAN register names the driver uses, over the chip's register blocks. The blocks come from the
// platform (real addresses on the chip, models in the simulator); this header only names bits and picks
// the controller of a port.

#include <cstdint>

#include "chip.hpp"

using BxcanCANType = CAN_TypeDef;

inline constexpr uint32_t BXCAN_MCR_INRQ = 1U << 0;
inline constexpr uint32_t BXCAN_MCR_SLEEP = 1U << 1;
inline constexpr uint32_t BXCAN_MCR_AWUM = 1U << 5;
inline constexpr uint32_t BXCAN_MCR_ABOM = 1U << 6;
inline constexpr uint32_t BXCAN_MCR_RESET = 1U << 15;

inline constexpr uint32_t BXCAN_MSR_INAK = 1U << 0;

inline constexpr uint32_t BXCAN_TSR_ABRQ0 = 1U << 7;
inline constexpr uint32_t BXCAN_TSR_ABRQ1 = 1U << 15;
inline constexpr uint32_t BXCAN_TSR_ABRQ2 = 1U << 23;
inline constexpr uint32_t BXCAN_TSR_TME0 = 1U << 26;
inline constexpr uint32_t BXCAN_TSR_TME1 = 1U << 27;
inline constexpr uint32_t BXCAN_TSR_TME2 = 1U << 28;
inline constexpr uint32_t BXCAN_TSR_TME = BXCAN_TSR_TME0 | BXCAN_TSR_TME1 | BXCAN_TSR_TME2;

// Same layout in RF0R and RF1R.
inline constexpr uint32_t BXCAN_RFR_FMP_MASK = 3U << 0;
inline constexpr uint32_t BXCAN_RFR_FULL = 1U << 3;
inline constexpr uint32_t BXCAN_RFR_FOVR = 1U << 4;
inline constexpr uint32_t BXCAN_RFR_RFOM = 1U << 5;

inline constexpr uint32_t BXCAN_IER_FMPIE0 = 1U << 1;
inline constexpr uint32_t BXCAN_IER_FMPIE1 = 1U << 4;

inline constexpr uint32_t BXCAN_ESR_BOFF = 1U << 2;
inline constexpr uint32_t BXCAN_ESR_LEC_SHIFT = 4;
inline constexpr uint32_t BXCAN_ESR_LEC_MASK = 7U << BXCAN_ESR_LEC_SHIFT;

inline constexpr uint32_t BXCAN_BTR_BRP_MASK = 0x000003FFU;
inline constexpr uint32_t BXCAN_BTR_TS1_SHIFT = 16;
inline constexpr uint32_t BXCAN_BTR_TS1_MASK = 0x000F0000U;
inline constexpr uint32_t BXCAN_BTR_TS2_SHIFT = 20;
inline constexpr uint32_t BXCAN_BTR_TS2_MASK = 0x00700000U;
inline constexpr uint32_t BXCAN_BTR_SJW_SHIFT = 24;
inline constexpr uint32_t BXCAN_BTR_SJW_MASK = 0x03000000U;
inline constexpr uint32_t BXCAN_BTR_LBKM = 1U << 30;
inline constexpr uint32_t BXCAN_BTR_SILM = 1U << 31;

// TIR and RIR share the identifier layout.
inline constexpr uint32_t BXCAN_TIR_TXRQ = 1U << 0;
inline constexpr uint32_t BXCAN_TIR_RTR = 1U << 1;
inline constexpr uint32_t BXCAN_TIR_IDE = 1U << 2;
inline constexpr uint32_t BXCAN_RIR_RTR = BXCAN_TIR_RTR;
inline constexpr uint32_t BXCAN_RIR_IDE = BXCAN_TIR_IDE;
inline constexpr uint32_t BXCAN_IR_EXID_SHIFT = 3;
inline constexpr uint32_t BXCAN_IR_STID_SHIFT = 21;

inline constexpr uint32_t BXCAN_TDTR_DLC_MASK = 0xFU;
inline constexpr uint32_t BXCAN_RDTR_DLC_MASK = 0xFU;

inline constexpr uint32_t BXCAN_FMR_FINIT = 1U << 0;
inline constexpr uint32_t BXCAN_FMR_CAN2SB_SHIFT = 8;
inline constexpr uint32_t BXCAN_FMR_CAN2SB_MASK = 0x3FU << BXCAN_FMR_CAN2SB_SHIFT;

// CAN1's filter block has 28 banks: 0..13 for CAN1, 14..27 for CAN2. CAN3 has its own, banks 0..13.
inline constexpr unsigned BXCAN_CAN2_FIRST_BANK = 14;
inline constexpr unsigned BXCAN_SHARED_BANKS = 28;

// The names above are the chip's own bits; a mismatch with the platform's header is a build error.
static_assert(BXCAN_MCR_INRQ == CAN_MCR_INRQ && BXCAN_MCR_SLEEP == CAN_MCR_SLEEP && BXCAN_MCR_AWUM == CAN_MCR_AWUM &&
              BXCAN_MCR_ABOM == CAN_MCR_ABOM && BXCAN_MCR_RESET == CAN_MCR_RESET);
static_assert(BXCAN_MSR_INAK == CAN_MSR_INAK);
static_assert(BXCAN_TSR_ABRQ0 == CAN_TSR_ABRQ0 && BXCAN_TSR_ABRQ1 == CAN_TSR_ABRQ1 && BXCAN_TSR_ABRQ2 == CAN_TSR_ABRQ2 &&
              BXCAN_TSR_TME == CAN_TSR_TME);
static_assert(BXCAN_RFR_FMP_MASK == CAN_RF0R_FMP0 && BXCAN_RFR_FULL == CAN_RF0R_FULL0 && BXCAN_RFR_FOVR == CAN_RF0R_FOVR0 &&
              BXCAN_RFR_RFOM == CAN_RF0R_RFOM0 && BXCAN_RFR_FOVR == CAN_RF1R_FOVR1 && BXCAN_RFR_RFOM == CAN_RF1R_RFOM1);
static_assert(BXCAN_IER_FMPIE0 == CAN_IER_FMPIE0 && BXCAN_IER_FMPIE1 == CAN_IER_FMPIE1);
static_assert(BXCAN_ESR_BOFF == CAN_ESR_BOFF && BXCAN_ESR_LEC_MASK == CAN_ESR_LEC);
static_assert(BXCAN_BTR_BRP_MASK == CAN_BTR_BRP && BXCAN_BTR_TS1_MASK == CAN_BTR_TS1 && BXCAN_BTR_TS2_MASK == CAN_BTR_TS2 &&
              BXCAN_BTR_SJW_MASK == CAN_BTR_SJW && BXCAN_BTR_SILM == CAN_BTR_SILM && BXCAN_BTR_LBKM == CAN_BTR_LBKM);
static_assert(BXCAN_TIR_TXRQ == CAN_TI0R_TXRQ && BXCAN_TIR_RTR == CAN_TI0R_RTR && BXCAN_TIR_IDE == CAN_TI0R_IDE &&
              BXCAN_IR_EXID_SHIFT == CAN_TI0R_EXID_Pos && BXCAN_IR_STID_SHIFT == CAN_TI0R_STID_Pos &&
              BXCAN_RIR_IDE == CAN_RI0R_IDE && BXCAN_RIR_RTR == CAN_RI0R_RTR);
static_assert(BXCAN_FMR_FINIT == CAN_FMR_FINIT && BXCAN_FMR_CAN2SB_MASK == CAN_FMR_CAN2SB);
static_assert(BXCAN_SHARED_BANKS == CAN_FILTER_BANKS && BXCAN_CAN2_FIRST_BANK == CAN2SB_RESET);

// Controller of each port, indexed by PortCAN_t (0x40006400, 0x40006800, 0x40006C00 on the chip).
inline BxcanCANType* const BXCAN_CAN1 = CAN1;
inline BxcanCANType* const BXCAN_CAN2 = CAN2;
inline BxcanCANType* const BXCAN_CAN3 = CAN3;
inline BxcanCANType* const bxCAN[3] = {BXCAN_CAN1, BXCAN_CAN2, BXCAN_CAN3};

// Receive interrupt lines of each port, indexed by PortCAN_t.
inline constexpr IRQn_Type BXCAN_RX0_IRQn[3] = {CAN1_RX0_IRQn, CAN2_RX0_IRQn, CAN3_RX0_IRQn};
inline constexpr IRQn_Type BXCAN_RX1_IRQn[3] = {CAN1_RX1_IRQn, CAN2_RX1_IRQn, CAN3_RX1_IRQn};
static_assert(BXCAN_RX0_IRQn[0] == 20 && BXCAN_RX1_IRQn[0] == 21 && BXCAN_RX0_IRQn[1] == 64 &&
              BXCAN_RX1_IRQn[1] == 65 && BXCAN_RX0_IRQn[2] == 75 && BXCAN_RX1_IRQn[2] == 76);
