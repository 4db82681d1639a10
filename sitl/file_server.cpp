#include "sitl/file_server.hpp"

#include <filesystem>
#include <fstream>

#include "sitl/bus_transfers.hpp"

namespace sitl {

namespace {

constexpr std::size_t kOffsetBytes = 5;  // uint40
constexpr std::size_t kMaxData = 256;

}  // namespace

FileServer::FileServer(unsigned port, std::string directory, uint8_t node_id)
    : port_(port), directory_(std::move(directory)), node_id_(node_id)
{
    sim::canBus(port_).attach(this);
}

FileServer::~FileServer() { sim::canBus(port_).detach(this); }

int16_t FileServer::read(const std::string& path, uint64_t offset, std::size_t length, std::vector<uint8_t>* data) const
{
    data->clear();
    if (path.find('\0') != std::string::npos) {
        return kFileInvalidValue;
    }
    const std::filesystem::path relative(path);
    if (path.empty() || relative.is_absolute()) {
        return kFileAccessDenied;
    }
    for (const auto& part : relative) {
        if (part == "..") {
            return kFileAccessDenied;
        }
    }
    const std::filesystem::path full = std::filesystem::path(directory_) / relative;
    std::error_code error;
    if (std::filesystem::is_directory(full, error)) {
        return kFileIsDirectory;
    }
    if (!std::filesystem::exists(full, error)) {
        return kFileNotFound;
    }
    std::ifstream file(full, std::ios::binary);
    if (!file) {
        return kFileIoError;
    }
    const auto size = static_cast<uint64_t>(std::filesystem::file_size(full, error));
    if (error) {
        return kFileIoError;
    }
    if (offset >= size) {
        return kFileOk;  // past the end: no data, the end of the file
    }
    data->resize(static_cast<std::size_t>(std::min<uint64_t>(length, size - offset)));
    file.seekg(static_cast<std::streamoff>(offset));
    file.read(reinterpret_cast<char*>(data->data()), static_cast<std::streamsize>(data->size()));
    return file ? kFileOk : kFileIoError;
}

void FileServer::onFrame(const sim::CanFrame& frame, uint64_t)
{
    const uint8_t n = frame.dataBytes();
    // Requests to this node only: a service frame, the request bit, its node ID as destination.
    if (!frame.extended || frame.remote || n == 0 || !bus::isService(frame.id) || (frame.id & (1U << 15)) == 0 ||
        ((frame.id >> 8) & 0x7FU) != node_id_ || bus::dataTypeOfService(frame.id) != bus::kFileReadId) {
        return;
    }
    const uint8_t source = frame.id & 0x7FU;
    const uint8_t tail = frame.data[n - 1U];
    const bool sot = (tail & 0x80U) != 0;
    const bool eot = (tail & 0x40U) != 0;
    const bool toggle = (tail & 0x20U) != 0;
    const auto transfer_id = static_cast<uint8_t>(tail & 31U);
    if (sot && eot) {
        serve(frame.id, transfer_id, std::vector<uint8_t>(frame.data, frame.data + n - 1));
        return;
    }
    Reassembly& r = open_[source];
    if (sot) {
        r = {transfer_id, false, {}};
    } else if (r.bytes.empty() || transfer_id != r.transfer_id || toggle != r.toggle) {
        r.bytes.clear();  // a frame out of order, repeated or of a transfer whose start was lost
        return;
    }
    r.bytes.insert(r.bytes.end(), frame.data, frame.data + n - 1);
    r.toggle = !toggle;
    if (!eot) {
        return;
    }
    std::vector<uint8_t> payload(r.bytes.begin() + 2, r.bytes.end());
    const auto crc = static_cast<uint16_t>(r.bytes[0] | (r.bytes[1] << 8));
    r.bytes.clear();
    if (crc == bus::transferCrc(bus::kFileReadSignature, payload)) {
        serve(frame.id, transfer_id, payload);
    }
}

void FileServer::serve(uint32_t can_id, uint8_t transfer_id, const std::vector<uint8_t>& payload)
{
    ++requests_;
    if (payload.size() < kOffsetBytes || requests_ == ignore_at_ || answers_ >= answer_limit_) {
        return;
    }
    uint64_t offset = 0;
    for (std::size_t i = kOffsetBytes; i-- > 0;) {
        offset = (offset << 8) | payload[i];
    }
    const std::string path(payload.begin() + kOffsetBytes, payload.end());
    std::vector<uint8_t> data;
    const int16_t error = read(path, offset, kMaxData, &data);
    std::vector<uint8_t> answer = {static_cast<uint8_t>(error & 0xFF), static_cast<uint8_t>((error >> 8) & 0xFF)};
    answer.insert(answer.end(), data.begin(), data.end());
    const uint32_t priority = (can_id >> 24) & 31U;
    const uint32_t id = bus::serviceId(priority, bus::kFileReadId, false, can_id & 0x7FU, node_id_);
    for (const sim::CanFrame& f : bus::framesOf(id, transfer_id, answer, bus::kFileReadSignature)) {
        queue_.push_back(f);
    }
    ++answers_;
    due_ns_ = sim::nowNs();
}

uint64_t FileServer::nextOfferNs() const { return queue_.empty() ? UINT64_MAX : due_ns_; }

const sim::CanFrame* FileServer::offer(uint64_t)
{
    if (queue_.empty()) {
        return nullptr;
    }
    current_ = queue_.front();
    return &current_;
}

void FileServer::onSent(bool acknowledged, uint64_t)
{
    if (acknowledged && !queue_.empty()) {
        queue_.pop_front();
    }
}

}  // namespace sitl
