#include "firmware/bootloader/updater.hpp"

#include <new>

#include "chip.hpp"
#include "firmware/board/app_descriptor.hpp"
#include "firmware/board/gpio.hpp"
#include "firmware/board/kernel.hpp"
#include "firmware/bootloader/app_image.hpp"
#include "firmware/drivers/CAN.hpp"
#include "firmware/drivers/serial.hpp"
#include "firmware/drivers/watchdog.hpp"
#include "firmware/dsdl/uavcan/protocol/GetNodeInfo.hpp"
#include "firmware/dsdl/uavcan/protocol/NodeStatus.hpp"
#include "firmware/dsdl/uavcan/protocol/dynamic_node_id/Allocation.hpp"
#include "firmware/dsdl/uavcan/protocol/file/BeginFirmwareUpdate.hpp"
#include "firmware/dsdl/uavcan/protocol/file/Read.hpp"
#include "firmware/node/dynNodeIDAlloc.hpp"
#include "firmware/node/ports.hpp"
#include "platform/interface/core.hpp"
#include "platform/interface/flash.hpp"

namespace {

constexpr uint16_t kChunk = UAVCAN_PROTOCOL_FILE_READ_RESPONSE_DATA_MAX_LENGTH;
// The vector table and the descriptor are programmed last, once the rest of the image is in: until then
// the application's first sector holds no descriptor, so a cut anywhere leaves an image never started.
constexpr uint32_t kHeldBytes = 2U * kChunk;
static_assert(kHeldBytes >= APP_DESCRIPTOR_OFFSET + sizeof(AppInfo_t));
static_assert(APP_IMAGE_BASE == FLASH_APP_START && APP_IMAGE_MAX_SIZE == FLASH_APP_SIZE);
constexpr uint32_t kNodeStatusPeriodMs = 1000;
constexpr uint16_t kCanEnablePins[PortCANLast] = {CAN1EN_PIN, CAN2EN_PIN, CAN3EN_PIN};
constexpr uint16_t kNoProgram = 0xFFFFU;  // what an erased half-word holds: nothing to program

enum class Mode : uint8_t { Update, Maintenance };

struct Update {
    Port* port;              // the bus the image comes on
    uint8_t server;          // the file server's node ID
    uint8_t path_len;
    uint8_t path[BOOT_HANDOFF_PATH_MAX];
    uint32_t offset;         // bytes of the image received
    uint32_t erased;         // bytes of the application's sectors erased, from their start
    uint8_t next_transfer_id;
    uint8_t transfer_id;     // of the request awaited
    bool waiting;            // for the answer to that request
    uint8_t attempts;        // requests sent for the current offset
    uint32_t sent_at;
    bool answered;           // the answer came: chunk_len bytes in chunk, or a file error
    int16_t file_error;
    uint16_t chunk_len;
    uint8_t chunk[kChunk];
    uint8_t held[kHeldBytes];
};

Port ports[PortCANLast];
bool portUsed[PortCANLast];
// Constructed at start, as the node's is.
alignas(NodeIdentity) unsigned char identityStorage[sizeof(NodeIdentity)];
NodeIdentity* identity;
Mode mode;
Update update;

bool accept(const XportInstance* ins, uint64_t* signature, uint16_t data_type_id, XportTransferType type,
            uint8_t source_node_id)
{
    if (xportGetLocalNodeID(ins) == XPORT_BROADCAST_NODE_ID) {
        if (type == XportTransferTypeBroadcast && data_type_id == UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_ID) {
            *signature = UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_SIGNATURE;
            return true;
        }
        return false;
    }
    if (type == XportTransferTypeRequest && data_type_id == UAVCAN_PROTOCOL_GETNODEINFO_ID) {
        *signature = UAVCAN_PROTOCOL_GETNODEINFO_SIGNATURE;
        return true;
    }
    if (type == XportTransferTypeRequest && data_type_id == UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_ID) {
        *signature = UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_SIGNATURE;
        return true;
    }
    // Only the file server's answers, so that another node's cannot take the pool's blocks.
    if (type == XportTransferTypeResponse && data_type_id == UAVCAN_PROTOCOL_FILE_READ_ID && mode == Mode::Update &&
        source_node_id == update.server) {
        *signature = UAVCAN_PROTOCOL_FILE_READ_SIGNATURE;
        return true;
    }
    return false;
}

uint8_t health() { return mode == Mode::Update ? UAVCAN_PROTOCOL_NODESTATUS_HEALTH_OK : UAVCAN_PROTOCOL_NODESTATUS_HEALTH_ERROR; }

uint8_t reportedMode()
{
    return mode == Mode::Update ? UAVCAN_PROTOCOL_NODESTATUS_MODE_SOFTWARE_UPDATE
                                : UAVCAN_PROTOCOL_NODESTATUS_MODE_MAINTENANCE;
}

void fail(const char* reason)
{
    FLASH_Lock();
    mode = Mode::Maintenance;
    update.waiting = false;
    update.answered = false;
    consoleDiagnostic(LOG_ERROR, "update", reason);
}

void begin(Port& port, uint8_t server, const uint8_t* path, uint8_t path_len)
{
    update.port = &port;
    update.server = server;
    update.path_len = path_len;
    for (uint8_t i = 0; i < path_len; ++i) {
        update.path[i] = path[i];
    }
    update.offset = 0;
    update.erased = 0;
    update.waiting = false;
    update.answered = false;
    update.attempts = 0;
    mode = Mode::Update;
    FLASH_Unlock();
    consoleDiagnostic(LOG_INFO, "update", "reading the image\n");
}

void onBeginUpdate(Port& port, XportRxTransfer* transfer)
{
    uint8_t path[UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_REQUEST_DYN_ARR_BUF_SIZE];
    uint8_t* arena = path;
    uavcan_protocol_file_BeginFirmwareUpdateRequest request{};
    if (uavcan_protocol_file_BeginFirmwareUpdateRequest_decode(transfer, transfer->payload_len, &request, &arena) < 0) {
        return;
    }
    const uint8_t server = request.source_node_id == 0U ? transfer->source_node_id : request.source_node_id;
    uavcan_protocol_file_BeginFirmwareUpdateResponse response{};
    if (mode == Mode::Update) {
        response.error = UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_RESPONSE_ERROR_IN_PROGRESS;
    } else if (server > XPORT_MAX_NODE_ID) {
        response.error = UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_RESPONSE_ERROR_UNKNOWN;
    }
    uint8_t buffer[UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_RESPONSE_MAX_SIZE];
    const uint32_t len = uavcan_protocol_file_BeginFirmwareUpdateResponse_encode(&response, buffer);
    uint8_t transfer_id = transfer->transfer_id;
    (void)xportRequestOrRespond(&port.xport, transfer->source_node_id,
                                UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_SIGNATURE,
                                UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_ID, &transfer_id, transfer->priority,
                                XportResponse, buffer, static_cast<uint16_t>(len));
    if (response.error == UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_RESPONSE_ERROR_OK) {
        begin(port, server, request.image_file_remote_path.path.data, request.image_file_remote_path.path.len);
    }
}

// Only the answer to the request awaited: a late answer to an earlier try, or one from elsewhere, is not it.
void onReadAnswer(const Port& port, XportRxTransfer* transfer)
{
    if (mode != Mode::Update || &port != update.port || !update.waiting || transfer->source_node_id != update.server ||
        transfer->transfer_id != update.transfer_id) {
        return;
    }
    uint8_t* arena = update.chunk;
    uavcan_protocol_file_ReadResponse response{};
    if (uavcan_protocol_file_ReadResponse_decode(transfer, transfer->payload_len, &response, &arena) < 0) {
        return;  // as if lost: the request goes again
    }
    update.waiting = false;
    update.answered = true;
    update.file_error = response.error;
    update.chunk_len = response.data.len;
}

void onTransfer(XportInstance* ins, XportRxTransfer* transfer)
{
    Port& port = portOf(ins);
    switch (transfer->transfer_type) {
    case XportTransferTypeBroadcast:
        if (transfer->data_type_id == UAVCAN_PROTOCOL_DYNAMIC_NODE_ID_ALLOCATION_ID) {
            identity->onDynNodeRx(port, transfer);
        }
        break;
    case XportTransferTypeRequest:
        if (transfer->data_type_id == UAVCAN_PROTOCOL_GETNODEINFO_ID) {
            identity->respondNodeInfo(port, transfer,
                            {health(), reportedMode(), BOOTLOADER_VERSION_MAJOR, BOOTLOADER_VERSION_MINOR, 0U, 0U});
        } else if (transfer->data_type_id == UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_ID) {
            onBeginUpdate(port, transfer);
        }
        break;
    case XportTransferTypeResponse:
        onReadAnswer(port, transfer);
        break;
    }
}

void sendRead()
{
    uavcan_protocol_file_ReadRequest request{};
    request.offset = update.offset;
    request.path.path.len = update.path_len;
    request.path.path.data = update.path;
    uint8_t buffer[UAVCAN_PROTOCOL_FILE_READ_REQUEST_MAX_SIZE];
    const uint32_t len = uavcan_protocol_file_ReadRequest_encode(&request, buffer);
    update.transfer_id = update.next_transfer_id;
    // A request the queue has no room for counts as a try that got no answer.
    (void)xportRequestOrRespond(&update.port->xport, update.server, UAVCAN_PROTOCOL_FILE_READ_SIGNATURE,
                                UAVCAN_PROTOCOL_FILE_READ_ID, &update.next_transfer_id, XPORT_TRANSFER_PRIORITY_MEDIUM,
                                XportRequest, buffer, static_cast<uint16_t>(len));
    update.waiting = true;
    update.sent_at = getUptime();
    ++update.attempts;
}

// Sectors 5 on, as far as `end` bytes of the image reach; each erase stalls the chip for a second or two,
// under the watchdog's long period.
bool eraseTo(uint32_t end)
{
    while (update.erased < end) {
        const uint32_t sector = FLASH_APP_FIRST_SECTOR + update.erased / FLASH_LARGE_SECTOR_SIZE;
        watchdogLengthen();
        const FLASH_Status status = FLASH_EraseAppSector(sector << FLASH_CR_SNB_Pos, VoltageRange_3);
        watchdogRestore();
        if (status != FLASH_COMPLETE) {
            return false;
        }
        update.erased += FLASH_LARGE_SECTOR_SIZE;
    }
    return true;
}

// `len` bytes from image offset `at` (even), the last half-word of an odd length padded as erased flash.
bool program(uint32_t at, const uint8_t* bytes, uint32_t len)
{
    for (uint32_t i = 0; i < len; i += 2U) {
        const uint32_t high = i + 1U < len ? bytes[i + 1U] : 0xFFU;
        const auto half = static_cast<uint16_t>(bytes[i] | (high << 8));
        if (half != kNoProgram && FLASH_ProgramAppHalfWord(APP_IMAGE_BASE + at + i, half) != FLASH_COMPLETE) {
            return false;
        }
    }
    return true;
}

// Nothing of the bootloader may interrupt the application's start-up: its controllers reset, its lines off.
[[noreturn]] void startApplication()
{
    for (const BxcanControllerConfig& controller : bxcanControllers) {
        NVIC_DisableIRQ(controller.rx0_irq);
        NVIC_DisableIRQ(controller.rx1_irq);
        NVIC_ClearPendingIRQ(controller.rx0_irq);
        NVIC_ClearPendingIRQ(controller.rx1_irq);
    }
    NVIC_DisableIRQ(USART2_IRQn);
    NVIC_ClearPendingIRQ(USART2_IRQn);
    constexpr uint32_t kCanResets = RCC_APB1Periph_CAN1 | RCC_APB1Periph_CAN2 | RCC_APB1Periph_CAN3;
    RCC->APB1RSTR = RCC->APB1RSTR | kCanResets;
    RCC->APB1RSTR = RCC->APB1RSTR & ~kCanResets;
    coreStartImage(APP_IMAGE_BASE);
}

// The whole file is in: the held first bytes go last, then the image check, as at every start.
void finish()
{
    const uint32_t held = update.offset < kHeldBytes ? update.offset : kHeldBytes;
    if (!program(0, update.held, held)) {
        fail("programming failed\n");
        return;
    }
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the application lives at a fixed address
    const auto* image = reinterpret_cast<const volatile uint8_t*>(APP_IMAGE_BASE);
    // The CRC over a 640 KB image takes some 20 M cycles, more than the watchdog's normal period.
    watchdogLengthen();
    const bool valid = appImageSize(image, update.offset) == update.offset;
    watchdogRestore();
    if (!valid) {
        // Its descriptor cleared, so that no later start takes what is there for an application.
        (void)FLASH_ProgramAppHalfWord(APP_IMAGE_BASE + APP_DESCRIPTOR_OFFSET, 0U);
        fail("image refused\n");
        return;
    }
    FLASH_Lock();
    consoleDiagnostic(LOG_INFO, "update", "image accepted\n");
    startApplication();
}

void takeChunk()
{
    if (update.file_error != UAVCAN_PROTOCOL_FILE_ERROR_OK) {
        fail("file server error\n");
        return;
    }
    const uint32_t at = update.offset;
    const uint32_t end = at + update.chunk_len;
    if (end > APP_IMAGE_MAX_SIZE) {
        fail("image too large\n");
        return;
    }
    if (!eraseTo(end)) {
        fail("erase failed\n");
        return;
    }
    // Offsets are whole chunks but the last: the held part never ends inside a chunk.
    if (at < kHeldBytes) {
        for (uint32_t i = 0; i < update.chunk_len; ++i) {
            update.held[at + i] = update.chunk[i];
        }
    } else if (!program(at, update.chunk, update.chunk_len)) {
        fail("programming failed\n");
        return;
    }
    update.offset = end;
    update.attempts = 0;
    if (update.chunk_len < kChunk) {
        finish();
    }
}

void updateStep()
{
    if (!update.port->NodeValid) {
        return;  // its node ID still to come
    }
    if (update.answered) {
        update.answered = false;
        takeChunk();
        if (mode != Mode::Update) {
            return;
        }
    }
    if (update.waiting && getUptime() - update.sent_at >= BOOT_READ_TIMEOUT_MS) {
        if (update.attempts >= BOOT_READ_ATTEMPTS) {
            fail("file server not answering\n");
            return;
        }
        update.waiting = false;
    }
    if (!update.waiting) {
        sendRead();
    }
}

void servePort(Port& port)
{
    if (!port.NodeValid) {
        if (identity->DynAllocNodeID(port)) {
            port.NodeValid = true;
        }
        return;
    }
    sendXport(port);
    receiveXport(port);
    if (getUptime() - port.spin_time >= kNodeStatusPeriodMs) {
        port.spin_time = getUptime();
        // The progress in KB in the vendor-specific code while the image comes.
        const auto progress = static_cast<uint16_t>(mode == Mode::Update ? update.offset >> 10 : 0U);
        sendNodeStatus(port, health(), reportedMode(), progress);
    }
}

void bootTask(const void*)
{
    for (;;) {
        watchdogRefresh();
        for (uint8_t p = PortCAN1; p < PortCANLast; ++p) {
            if (portUsed[p] && ports[p].can->joinBus()) {
                servePort(ports[p]);
            }
        }
        if (mode == Mode::Update) {
            updateStep();
        }
    }
}

const osThreadDef_t kBootTask = {"Boot", bootTask, osPriorityNormal, 0, 1024};

}  // namespace

void bootloaderRun(const BootHandoff* record)
{
    // The application reads and reports the reset's cause: its flags are left to it.
    watchdogStartKeepingCause();
    osKernelInitialize();
    MX_GPIO_Init();
    (void)InitSerial();
    identity = new (identityStorage) NodeIdentity(chipUniqueId());
    mode = Mode::Maintenance;

    for (uint8_t p = PortCAN1; p < PortCANLast; ++p) {
        InitPort(ports[p], static_cast<PortCAN_t>(p), bxcanPorts[p], nullptr);
        // An update stays on the bus it was asked on; maintenance listens on all of them.
        portUsed[p] = record == nullptr || record->bus == p;
    }
    if (record != nullptr && record->bus >= PortCANLast) {
        record = nullptr;  // a bus this chip has not: maintenance everywhere
        for (bool& used : portUsed) {
            used = true;
        }
    }
    for (const uint16_t pin : kCanEnablePins) {
        gpioSet(CANEN_GPIO_PORT, pin, 1);
    }
    bxcanColdReset();
    for (uint8_t p = PortCAN1; p < PortCANLast; ++p) {
        if (!portUsed[p]) {
            continue;
        }
        Port& port = ports[p];
        if (record != nullptr && record->node_id >= XPORT_MIN_NODE_ID && record->node_id <= XPORT_MAX_NODE_ID) {
            port.NodeID = record->node_id;
            port.NodeValid = true;
        }
        CANInit(port.index);
        CANswInit(port.index, nullptr, 0);
        xportInit(&port.xport, port.pool.bytes, sizeof(port.pool.bytes), onTransfer, accept, &port);
        if (port.NodeID != XPORT_BROADCAST_NODE_ID) {
            xportSetLocalNodeID(&port.xport, port.NodeID);
        }
    }
    for (const uint16_t pin : kCanEnablePins) {
        gpioSet(CANEN_GPIO_PORT, pin, 0);
    }
    if (record != nullptr) {
        begin(ports[record->bus], record->server_node_id, record->path, static_cast<uint8_t>(record->path_len));
    } else {
        consoleDiagnostic(LOG_ERROR, "boot", "no valid application: maintenance\n");
    }

    osSysTickStart();
    (void)osThreadCreate(&kBootTask, nullptr);
    (void)osKernelStart();
    for (;;) {
    }
}
