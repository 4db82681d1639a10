#pragma once
// Bring-up of one CAN port: pins and clocks (CANInit), then bit timing, controller and acceptance filters
// (CANswInit). Neither reports failure: problems go to the serial console and start-up carries on, so a
// dead bus never stops the other two. The port's transport is its user's.

#include <cstddef>
#include <cstdint>

#include "chip.hpp"
#include "firmware/drivers/bxcan.hpp"
#include "firmware/xport/xport.hpp"

// All three buses run at 1 Mbit/s.
inline constexpr uint32_t CAN_BIT_RATE = 1000000;
// Transport memory of one port: 96 blocks of the transport's pool.
inline constexpr std::size_t CAN_XPORT_POOL_SIZE = 3096;
static_assert(CAN_XPORT_POOL_SIZE / XPORT_MEM_BLOCK_SIZE == 96);

// Storage for one port's pool, aligned as the transport's blocks need.
struct CANXportPool_t {
    alignas(XportPoolAllocatorBlock) uint8_t bytes[CAN_XPORT_POOL_SIZE];
};

extern RCC_ClocksTypeDef g_RCC_Clocks;

// The port's controller clock and its two pins, as its controller description names them.
void CANInit(PortCAN_t Port);

// filtLen 0 keeps the accept-all bank of bxcanInit. A controller that has not started is left to the main
// loop, which finishes its start (bxcanRetryInit).
void CANswInit(PortCAN_t Port, const BxcanAcceptanceFilterConfiguration* filter_configs, uint16_t filtLen);
