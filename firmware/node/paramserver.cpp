#include "firmware/node/paramserver.hpp"

#include <cstring>

#include "firmware/drivers/serial.hpp"
#include "firmware/drivers/watchdog.hpp"
#include "firmware/dsdl/uavcan/protocol/param/GetSet.hpp"
#include "firmware/node/health.hpp"
#include "firmware/node/ports.hpp"

namespace {

// Room for the longest string value and the longest name, plus the zero byte that ends even a 92-byte
// name, so the name match can never run past the buffer.
constexpr uint16_t kRequestArenaSize = UAVCAN_PROTOCOL_PARAM_GETSET_REQUEST_DYN_ARR_BUF_SIZE + 1U;
constexpr uint8_t kNameMaxLength = UAVCAN_PROTOCOL_PARAM_GETSET_RESPONSE_NAME_MAX_LENGTH;

// Statistics rows: five figures, each a group of one row per port in port order.
constexpr unsigned kPorts = PortCANLast;
static_assert(Var_CAN_CurrBlocks - Var_CAN_TotBlocks == kPorts);
static_assert(Var_CAN_PeakBlocks - Var_CAN_CurrBlocks == kPorts);
static_assert(Var_CAN_RXOVF - Var_CAN_PeakBlocks == kPorts);
static_assert(Var_CAN_RXERR - Var_CAN_RXOVF == kPorts);
static_assert(Var_Last - Var_CAN_RXERR == kPorts);

bool isSettingRow(uint8_t idx) { return idx != Var_EEFormat && idx < Var_CAN_TotBlocks; }

void setInteger(uavcan_protocol_param_Value* v, int64_t x)
{
    v->union_tag = UAVCAN_PROTOCOL_PARAM_VALUE_INTEGER_VALUE;
    v->integer_value = x;
}

void setInteger(uavcan_protocol_param_NumericValue* v, int64_t x)
{
    v->union_tag = UAVCAN_PROTOCOL_PARAM_NUMERICVALUE_INTEGER_VALUE;
    v->integer_value = x;
}

}  // namespace

// Live figure behind a statistics row.
inline int64_t ParamServer::statistic(uint8_t idx) const
{
    const Port& port = ports_[(idx - Var_CAN_TotBlocks) % kPorts];
    const XportPoolAllocatorStatistics& pool = port.xport.allocator.statistics;
    if (idx < Var_CAN_CurrBlocks) {
        return pool.capacity_blocks;
    }
    if (idx < Var_CAN_PeakBlocks) {
        return pool.current_usage_blocks;
    }
    if (idx < Var_CAN_RXOVF) {
        return pool.peak_usage_blocks;
    }
    const CanPortStats stats = port.can->statistics();
    const uint64_t count = idx < Var_CAN_RXERR ? stats.rx_overflow_count : stats.error_count;
    return count > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(count);
}

ParameterLoad ParamServer::loadParameters()
{
    const bool started = store_.start();
    bool replaced = false;
    for (uint8_t i = Var_EEFormat; started && i < Var_Last; ++i) {
        // A row written long ago on a full page is found after a walk of the whole page, some 6 ms on
        // the chip: all of them together would outlast the watchdog's period.
        watchdogRefresh();
        // The compiled-in value is the default a missing row takes.
        auto value = static_cast<uint16_t>(parameters_[i].val);
        (void)store_.get(i, value);
        parameters_[i].val = value;
        if (!parameterInRange(i, parameters_[i].val)) {
            parameters_[i].val = parameterRows[i].val;
            replaced = true;
        }
    }
    health_.healthStoreStart(started, replaced);
    return !started   ? ParameterLoad::StoreDown
           : replaced ? ParameterLoad::ValuesReplaced
                      : store_.formatted() ? ParameterLoad::Formatted : ParameterLoad::Stored;
}

void reportParameterLoad(ParameterLoad load)
{
    if (load == ParameterLoad::StoreDown) {
        consoleDiagnostic(LOG_ERROR, "store", "store not started: compiled-in parameters, writes refused\n");
    } else if (load == ParameterLoad::ValuesReplaced) {
        consoleDiagnostic(LOG_WARNING, "store", "stored parameter out of range: compiled-in value used\n");
    } else if (load == ParameterLoad::Formatted) {
        logNote(LOG_INFO, "store", "formatted");
    }
}

param_t* ParamServer::getParamByName(const uint8_t* name, uint8_t* idx)
{
    *idx = 0;
    if (name == nullptr) {
        return nullptr;
    }
    const char* const text = reinterpret_cast<const char*>(name);
    const int row = parameterNamed(text, std::strlen(text));
    if (row < 0) {
        return nullptr;
    }
    *idx = static_cast<uint8_t>(row);
    return &parameters_[row];
}

bool ParamServer::getsetHandleXport(XportInstance* ins, XportRxTransfer* transfer)
{
    uint8_t arena[kRequestArenaSize];
    uint8_t* dyn_arr_buf = arena;
    uavcan_protocol_param_GetSetRequest request{};
    // A request cut short would otherwise read as index 0 or, worse, write a value that never arrived.
    if (uavcan_protocol_param_GetSetRequest_decode(transfer, transfer->payload_len, &request, &dyn_arr_buf) < 0) {
        return false;
    }

    uint8_t idx = 0;
    param_t* p = nullptr;
    if (request.name.len > 0 && request.name.data[0] != 0) {
        request.name.data[request.name.len] = 0;  // the name is the arena's last field, so this is in it
        // A zero inside the name ends it early: the name sent is not the one that would be compared.
        if (std::strlen(reinterpret_cast<const char*>(request.name.data)) == request.name.len) {
            p = getParamByName(request.name.data, &idx);
        }
    } else {
        p = getParamByIndex(request.index);
        idx = static_cast<uint8_t>(request.index);
    }

    // Unknown row: every union empty and no name, which tells the client there is no such parameter.
    uavcan_protocol_param_GetSetResponse response{};
    uint8_t name[kNameMaxLength];
    bool written = false;
    if (p != nullptr) {
        if (idx >= Var_CAN_TotBlocks) {
            p->val = statistic(idx);
        }
        // FORMATID marks the store's layout and the statistics rows show live figures: neither is written
        // from outside, and the answer's value shows the write did not take.
        if (isSettingRow(idx) && request.value.union_tag == UAVCAN_PROTOCOL_PARAM_VALUE_INTEGER_VALUE) {
            const int64_t value = request.value.integer_value;
            // A write the store cannot keep now (it did not start, or it would need an erase that may not
            // run now) is refused: the answer shows the value unchanged.
            if (parameterInRange(idx, value) && !store_.writeRefused()) {
                p->val = value;
                written = true;
                health_.healthStoreResult(store_.set(idx, static_cast<uint16_t>(static_cast<uint64_t>(value) & 0xFFFFU)));
            }
        }
        setInteger(&response.value, p->val);
        setInteger(&response.default_value, p->defval);
        setInteger(&response.max_value, parameterMax(idx));
        setInteger(&response.min_value, p->min);
        const std::size_t length = std::strlen(p->name);
        response.name.len = static_cast<uint8_t>(length < kNameMaxLength ? length : kNameMaxLength);
        std::memcpy(name, p->name, response.name.len);
        response.name.data = name;
    }

    uint8_t buffer[UAVCAN_PROTOCOL_PARAM_GETSET_RESPONSE_MAX_SIZE];
    const uint32_t len = uavcan_protocol_param_GetSetResponse_encode(&response, buffer);
    uint8_t transfer_id = transfer->transfer_id;
    (void)xportRequestOrRespond(ins, transfer->source_node_id, UAVCAN_PROTOCOL_PARAM_GETSET_SIGNATURE,
                                UAVCAN_PROTOCOL_PARAM_GETSET_ID, &transfer_id, transfer->priority, XportResponse,
                                buffer, static_cast<uint16_t>(len));
    return written;
}
