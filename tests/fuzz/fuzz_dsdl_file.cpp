// The file services' decoders: BeginFirmwareUpdate's request (source node ID, then the path: the tail at the
// root, 8-bit prefix nested) and Read's response (error, then the data: the tail at the root, 9-bit prefix
// nested), each into an arena of exactly its maximum.
#include "firmware/dsdl/uavcan/protocol/file/BeginFirmwareUpdate.hpp"
#include "firmware/dsdl/uavcan/protocol/file/Read.hpp"
#include "tests/fuzz/fuzz_dsdl_support.hpp"

using namespace fuzzdsdl;

namespace {

// The decode's result and array against the payload: within it, within the arena, and at the root
// exactly the whole bytes after the fixed fields, up to the maximum.
template <typename N>
void checkLastArray(const Input& in, uint16_t payload_len, int32_t r, int32_t fixed_bits, N len, N max)
{
    check(len <= max);
    check(r < 0 ? r == -XPORT_ERROR_INTERNAL : r <= in.bits());
    if (payload_len != 0 && in.bits() >= fixed_bits) {
        const int32_t on_wire = (in.bits() - fixed_bits) / 8;
        check(len == (on_wire < max ? on_wire : max) && r == fixed_bits + 8 * len);
    }
}

}  // namespace

void fuzzdsdl::decodeOnce(const Input& in, uint16_t payload_len)
{
    Arena path_arena(UAVCAN_PROTOCOL_FILE_BEGINFIRMWAREUPDATE_REQUEST_DYN_ARR_BUF_SIZE);
    Fenced<uavcan_protocol_file_BeginFirmwareUpdateRequest> b;
    const int32_t rb = uavcan_protocol_file_BeginFirmwareUpdateRequest_decode_internal(in.transfer(), payload_len,
                                                                                       &b.rec, path_arena.cursor(), 0);
    b.checkIntact();
    path_arena.checkIntact();
    const auto& path = b.rec.image_file_remote_path.path;
    check(path.len == 0 || path_arena.holds(path.data, path.len));
    checkLastArray<uint8_t>(in, payload_len, rb, 8, path.len, UAVCAN_PROTOCOL_FILE_PATH_PATH_MAX_LENGTH);

    Arena data_arena(UAVCAN_PROTOCOL_FILE_READ_RESPONSE_DYN_ARR_BUF_SIZE);
    Fenced<uavcan_protocol_file_ReadResponse> rd;
    const int32_t rr = uavcan_protocol_file_ReadResponse_decode_internal(in.transfer(), payload_len, &rd.rec,
                                                                         data_arena.cursor(), 0);
    rd.checkIntact();
    data_arena.checkIntact();
    check(rd.rec.data.len == 0 || data_arena.holds(rd.rec.data.data, rd.rec.data.len));
    checkLastArray<uint16_t>(in, payload_len, rr, 16, rd.rec.data.len, UAVCAN_PROTOCOL_FILE_READ_RESPONSE_DATA_MAX_LENGTH);
}
