#include "firmware/node/services.hpp"

#include <cstring>

#include "firmware/board/boot_handoff.hpp"
#include "firmware/dsdl/uavcan/protocol/GetTransportStats.hpp"
#include "firmware/dsdl/uavcan/protocol/RestartNode.hpp"
#include "firmware/dsdl/uavcan/protocol/file/BeginFirmwareUpdate.hpp"
#include "firmware/dsdl/uavcan/protocol/param/ExecuteOpcode.hpp"
#include "firmware/node/datatypes.hpp"
#include "firmware/node/health.hpp"
#include "platform/interface/core.hpp"

namespace {

constexpr char kUpdateRefused[] = "flight controller elected";

void respond(XportInstance* ins, const XportRxTransfer* transfer, uint64_t signature, const uint8_t* buffer,
             uint32_t len)
{
    uint8_t transfer_id = transfer->transfer_id;
    (void)xportRequestOrRespond(ins, transfer->source_node_id, signature, static_cast<uint8_t>(transfer->data_type_id),
                                &transfer_id, transfer->priority, XportResponse, buffer, static_cast<uint16_t>(len));
}

}  // namespace

void Services::armRestart(Port& port)
{
    restart_port = &port;
    restart_armed_at = getUptime();
}

void Services::transportStatsHandleXport(Port& port, XportRxTransfer* transfer)
{
    // The request is empty: whatever payload comes is not looked at.
    const CanPortStats frames = port.can->statistics();
    uavcan_protocol_CANIfaceStats iface{frames.frames_tx, frames.frames_rx,
                                        frames.error_count + frames.rx_overflow_count};
    const XportStats& transfers = port.xport.stats;
    uavcan_protocol_GetTransportStatsResponse response{transfers.transfers_tx, transfers.transfers_rx,
                                                       transfers.rx_errors, {1, &iface}};
    uint8_t buffer[UAVCAN_PROTOCOL_GETTRANSPORTSTATS_RESPONSE_MAX_SIZE];
    const uint32_t len = uavcan_protocol_GetTransportStatsResponse_encode(&response, buffer);
    respond(&port.xport, transfer, UAVCAN_PROTOCOL_GETTRANSPORTSTATS_SIGNATURE, buffer, len);
}

void Services::opcodeHandleXport(XportInstance* ins, XportRxTransfer* transfer)
{
    uavcan_protocol_param_ExecuteOpcodeRequest request{};
    if (uavcan_protocol_param_ExecuteOpcodeRequest_decode(transfer, transfer->payload_len, &request, nullptr) < 0) {
        return;
    }
    uavcan_protocol_param_ExecuteOpcodeResponse response{0, false};
    if (request.opcode == UAVCAN_PROTOCOL_PARAM_EXECUTEOPCODE_REQUEST_OPCODE_SAVE) {
        response.ok = true;
    } else if (request.opcode == UAVCAN_PROTOCOL_PARAM_EXECUTEOPCODE_REQUEST_OPCODE_ERASE) {
        // Refused while a flight controller is elected: the store has not failed.
        if (store_.eraseAllowed()) {
            response.ok = store_.erase();
            health_.healthStoreResult(response.ok);
        }
    }
    uint8_t buffer[UAVCAN_PROTOCOL_PARAM_EXECUTEOPCODE_RESPONSE_MAX_SIZE];
    const uint32_t len = uavcan_protocol_param_ExecuteOpcodeResponse_encode(&response, buffer);
    respond(ins, transfer, UAVCAN_PROTOCOL_PARAM_EXECUTEOPCODE_SIGNATURE, buffer, len);
}

void Services::restartHandleXport(Port& port, XportRxTransfer* transfer, bool allowed)
{
    uavcan_protocol_RestartNodeRequest request{};
    if (uavcan_protocol_RestartNodeRequest_decode(transfer, transfer->payload_len, &request, nullptr) < 0) {
        return;
    }
    uavcan_protocol_RestartNodeResponse response{allowed && request.magic_number ==
                                                              UAVCAN_PROTOCOL_RESTARTNODE_REQUEST_MAGIC_NUMBER};
    uint8_t buffer[UAVCAN_PROTOCOL_RESTARTNODE_RESPONSE_MAX_SIZE];
    const uint32_t len = uavcan_protocol_RestartNodeResponse_encode(&response, buffer);
    respond(&port.xport, transfer, UAVCAN_PROTOCOL_RESTARTNODE_SIGNATURE, buffer, len);
    if (response.ok && restart_port == nullptr) {
        armRestart(port);
    }
}

void Services::updateHandleXport(Port& port, XportRxTransfer* transfer, bool allowed)
{
    static_assert(UAVCAN_PROTOCOL_FILE_PATH_PATH_MAX_LENGTH == BOOT_HANDOFF_PATH_MAX);
    uavcan_protocol_file_BeginFirmwareUpdateRequest request{};
    // The path goes straight into the record, unless a reset is armed: then it is only checked.
    uint8_t* arena = bootHandoff.path;
    if (uavcan_protocol_file_BeginFirmwareUpdateRequest_decode(transfer, transfer->payload_len, &request,
                                                               restart_port == nullptr ? &arena : nullptr) < 0) {
        return;
    }
    const uint8_t server = request.source_node_id != 0 ? request.source_node_id : transfer->source_node_id;
    uavcan_protocol_file_BeginFirmwareUpdateResponse response{UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_RESPONSE_ERROR_OK,
                                                              {0, nullptr}};
    if (!allowed) {
        response.error = UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_RESPONSE_ERROR_INVALID_MODE;
        // The encoder only reads the text.
        response.optional_error_message = {sizeof kUpdateRefused - 1U,
                                           reinterpret_cast<uint8_t*>(const_cast<char*>(kUpdateRefused))};
    } else if (restart_port != nullptr) {
        response.error = UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_RESPONSE_ERROR_IN_PROGRESS;
    } else if (server > XPORT_MAX_NODE_ID) {
        response.error = UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_RESPONSE_ERROR_UNKNOWN;
    }
    uint8_t buffer[UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_RESPONSE_MAX_SIZE];
    const uint32_t len = uavcan_protocol_file_BeginFirmwareUpdateResponse_encode(&response, buffer);
    respond(&port.xport, transfer, UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_SIGNATURE, buffer, len);
    if (response.error == UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_RESPONSE_ERROR_OK) {
        bootHandoff.bus = port.index;
        bootHandoff.node_id = port.NodeID;
        bootHandoff.server_node_id = server;
        bootHandoff.path_len = request.image_file_remote_path.path.len;
        update_armed = true;
        armRestart(port);
    }
}

void Services::restartPoll()
{
    if (restart_port == nullptr) {
        return;
    }
    // Left the port: out of the transport's queue and out of the controller's mailboxes.
    const bool answered = xportPeekTxQueue(&restart_port->xport) == nullptr && !restart_port->can->transmitPending();
    if (answered || getUptime() - restart_armed_at > RESTART_BOUND_MS) {
        if (update_armed) {
            bootHandoffSeal();
        }
        coreSystemReset();
    }
}

void Services::dataTypeInfoHandleXport(Port& port, XportRxTransfer* transfer)
{
    uint8_t name[UAVCAN_PROTOCOL_GETDATATYPEINFO_NAME_MAX_LENGTH];
    uint8_t* arena = name;
    uavcan_protocol_GetDataTypeInfoRequest request{};
    if (uavcan_protocol_GetDataTypeInfoRequest_decode(transfer, transfer->payload_len, &request, &arena) < 0) {
        return;
    }
    uavcan_protocol_GetDataTypeInfoResponse response{0, request.id, request.kind, 0, {request.name.len, name}};
    for (const DataTypeRow& row : DATA_TYPES) {
        const auto len = static_cast<uint8_t>(std::strlen(row.name));
        if (request.name.len != 0U ? len == request.name.len && std::memcmp(row.name, name, len) == 0
                                   : row.id == request.id && row.kind == request.kind) {
            const bool ignored = (row.flags & DATATYPE_FC_TRAFFIC) != 0U && port.vis.IgnoreCanPort;
            const auto flags = static_cast<uint8_t>(ignored ? UAVCAN_PROTOCOL_GETDATATYPEINFO_RESPONSE_FLAG_KNOWN
                                                            : row.flags & ~DATATYPE_FC_TRAFFIC);
            response = {row.signature, row.id, row.kind, flags, {len, reinterpret_cast<const uint8_t*>(row.name)}};
            break;
        }
    }
    uint8_t buffer[UAVCAN_PROTOCOL_GETDATATYPEINFO_RESPONSE_MAX_SIZE];
    const uint32_t len = uavcan_protocol_GetDataTypeInfoResponse_encode(&response, buffer);
    respond(&port.xport, transfer, UAVCAN_PROTOCOL_GETDATATYPEINFO_SIGNATURE, buffer, len);
}
