#pragma once
// Every data type the node knows, as GetDataTypeInfo answers for it: one row per type, the one place a
// type the node takes up is added (main_node checks at compile time that every type it accepts has its
// row here). The flags are what holds on a port that has a node ID, the only kind that answers.

#include <cstdint>

#include "firmware/dsdl/qon/zb5/IgnoreCANPort.hpp"
#include "firmware/dsdl/qon/zb5/UseFlightController.hpp"
#include "firmware/dsdl/qon/zb5/VisibleFlightController.hpp"
#include "firmware/dsdl/uavcan/equipment/actuator/ArrayCommand.hpp"
#include "firmware/dsdl/uavcan/equipment/esc/RawCommand.hpp"
#include "firmware/dsdl/uavcan/protocol/GetDataTypeInfo.hpp"
#include "firmware/dsdl/uavcan/protocol/GetNodeInfo.hpp"
#include "firmware/dsdl/uavcan/protocol/GetTransportStats.hpp"
#include "firmware/dsdl/uavcan/protocol/NodeStatus.hpp"
#include "firmware/dsdl/uavcan/protocol/Panic.hpp"
#include "firmware/dsdl/uavcan/protocol/RestartNode.hpp"
#include "firmware/dsdl/uavcan/protocol/debug/LogMessage.hpp"
#include "firmware/dsdl/uavcan/protocol/dynamic_node_id/Allocation.hpp"
#include "firmware/dsdl/uavcan/protocol/file/BeginFirmwareUpdate.hpp"
#include "firmware/dsdl/uavcan/protocol/param/ExecuteOpcode.hpp"
#include "firmware/dsdl/uavcan/protocol/param/GetSet.hpp"

struct DataTypeRow {
    uint64_t signature;
    uint16_t id;
    uint8_t kind;   // UAVCAN_PROTOCOL_DATATYPEKIND_SERVICE or _MESSAGE
    uint8_t flags;  // UAVCAN_PROTOCOL_GETDATATYPEINFO_RESPONSE_FLAG_..., and DATATYPE_FC_TRAFFIC
    const char* name;
};

// Flight-controller traffic: on a port told to ignore it only KNOWN holds (nothing taken, nothing sent).
inline constexpr uint8_t DATATYPE_FC_TRAFFIC = 0x80;

namespace datatypes {
inline constexpr uint8_t kService = UAVCAN_PROTOCOL_DATATYPEKIND_SERVICE;
inline constexpr uint8_t kMessage = UAVCAN_PROTOCOL_DATATYPEKIND_MESSAGE;
inline constexpr uint8_t kKnown = UAVCAN_PROTOCOL_GETDATATYPEINFO_RESPONSE_FLAG_KNOWN;
inline constexpr uint8_t kServed = kKnown | UAVCAN_PROTOCOL_GETDATATYPEINFO_RESPONSE_FLAG_SERVING;
inline constexpr uint8_t kTaken = kKnown | UAVCAN_PROTOCOL_GETDATATYPEINFO_RESPONSE_FLAG_SUBSCRIBED;
inline constexpr uint8_t kSent = kKnown | UAVCAN_PROTOCOL_GETDATATYPEINFO_RESPONSE_FLAG_PUBLISHING;
}  // namespace datatypes

inline constexpr DataTypeRow DATA_TYPES[] = {
    {UAVCAN_PROTOCOL_GETNODEINFO_SIGNATURE, UAVCAN_PROTOCOL_GETNODEINFO_ID, datatypes::kService, datatypes::kServed,
     UAVCAN_PROTOCOL_GETNODEINFO_NAME},
    {UAVCAN_PROTOCOL_GETDATATYPEINFO_SIGNATURE, UAVCAN_PROTOCOL_GETDATATYPEINFO_ID, datatypes::kService,
     datatypes::kServed, UAVCAN_PROTOCOL_GETDATATYPEINFO_NAME},
    {UAVCAN_PROTOCOL_GETTRANSPORTSTATS_SIGNATURE, UAVCAN_PROTOCOL_GETTRANSPORTSTATS_ID, datatypes::kService,
     datatypes::kServed, UAVCAN_PROTOCOL_GETTRANSPORTSTATS_NAME},
    {UAVCAN_PROTOCOL_RESTARTNODE_SIGNATURE, UAVCAN_PROTOCOL_RESTARTNODE_ID, datatypes::kService, datatypes::kServed,
     UAVCAN_PROTOCOL_RESTARTNODE_NAME},
    {UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_SIGNATURE, UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_ID,
     datatypes::kService, datatypes::kServed, UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_NAME},
    {UAVCAN_PROTOCOL_PARAM_EXECUTEOPCODE_SIGNATURE, UAVCAN_PROTOCOL_PARAM_EXECUTEOPCODE_ID, datatypes::kService,
     datatypes::kServed, UAVCAN_PROTOCOL_PARAM_EXECUTEOPCODE_NAME},
    {UAVCAN_PROTOCOL_PARAM_GETSET_SIGNATURE, UAVCAN_PROTOCOL_PARAM_GETSET_ID, datatypes::kService, datatypes::kServed,
     UAVCAN_PROTOCOL_PARAM_GETSET_NAME},
    // Taken only while a port has no node ID.
    {UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_SIGNATURE, UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_ID,
     datatypes::kMessage, datatypes::kKnown, UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_NAME},
    {UAVCAN_PROTOCOL_NODESTATUS_SIGNATURE, UAVCAN_PROTOCOL_NODESTATUS_ID, datatypes::kMessage,
     datatypes::kTaken | datatypes::kSent, UAVCAN_PROTOCOL_NODESTATUS_NAME},
    {UAVCAN_PROTOCOL_DEBUG_LOGMESSAGE_SIGNATURE, UAVCAN_PROTOCOL_DEBUG_LOGMESSAGE_ID, datatypes::kMessage,
     datatypes::kSent, UAVCAN_PROTOCOL_DEBUG_LOGMESSAGE_NAME},
    {QON_ZB5_IGNORECANPORT_SIGNATURE, QON_ZB5_IGNORECANPORT_ID, datatypes::kMessage, datatypes::kTaken,
     QON_ZB5_IGNORECANPORT_NAME},
    {UAVCAN_PROTOCOL_PANIC_SIGNATURE, UAVCAN_PROTOCOL_PANIC_ID, datatypes::kMessage,
     datatypes::kTaken | DATATYPE_FC_TRAFFIC, UAVCAN_PROTOCOL_PANIC_NAME},
    {UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_SIGNATURE, UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_ID, datatypes::kMessage,
     datatypes::kTaken | DATATYPE_FC_TRAFFIC, UAVCAN_EQUIPMENT_ESC_RAWCOMMAND_NAME},
    {UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_SIGNATURE, UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_ID, datatypes::kMessage,
     datatypes::kTaken | DATATYPE_FC_TRAFFIC, UAVCAN_EQUIPMENT_ACTUATOR_ARRAYCOMMAND_NAME},
    {QON_ZB5_USEFLIGHTCONTROLLER_SIGNATURE, QON_ZB5_USEFLIGHTCONTROLLER_ID, datatypes::kMessage,
     datatypes::kTaken | DATATYPE_FC_TRAFFIC, QON_ZB5_USEFLIGHTCONTROLLER_NAME},
    {QON_ZB5_VISIBLEFLIGHTCONTROLLER_SIGNATURE, QON_ZB5_VISIBLEFLIGHTCONTROLLER_ID, datatypes::kMessage,
     datatypes::kSent | DATATYPE_FC_TRAFFIC, QON_ZB5_VISIBLEFLIGHTCONTROLLER_NAME},
};

// Whether the table has the type, by ID, kind and signature: for compile-time checks.
constexpr bool dataTypeListed(uint16_t id, uint8_t kind, uint64_t signature)
{
    for (const DataTypeRow& row : DATA_TYPES) {
        if (row.id == id && row.kind == kind && row.signature == signature) {
            return true;
        }
    }
    return false;
}
