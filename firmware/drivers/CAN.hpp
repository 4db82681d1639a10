#pragma once
// Bring-up of one CAN port: pins and clocks (CANInit), then bit timing, controller, acceptance filters
// and the port's transport instance (CANswInit). Neither reports failure: problems go to the serial
// console and start-up carries on, so a dead bus never stops the other two.

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

// self_node_id 0 leaves the instance anonymous; filtLen 0 keeps the accept-all bank of bxcanInit;
// user_reference is the instance's, handed back with every reception. The instance exists afterwards even
// when the controller has not started; the main loop finishes its start (bxcanRetryInit).
void CANswInit(PortCAN_t Port, XportInstance* out_ins, void* mem_arena, std::size_t mem_arena_size,
               XportOnTransferReception on_reception, XportShouldAcceptTransfer should_accept,
               void* user_reference, uint8_t self_node_id, const BxcanAcceptanceFilterConfiguration* filter_configs,
               uint16_t filtLen);
