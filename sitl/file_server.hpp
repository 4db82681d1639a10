#pragma once
// A file server on a simulated bus, for the bootloader's updates in tests and at the desk: it answers
// uavcan.protocol.file.Read requests addressed to its node ID with the files under one directory, and
// nothing outside it (a path that is absolute or has a ".." part is refused with ACCESS_DENIED, one with a
// NUL byte, which the system would cut there and so open another file, with INVALID_VALUE; a file that is
// not there is NOT_FOUND). Its framing is the tools' own (bus_transfers.hpp), not the firmware's.

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "platform/sim/sim.hpp"

namespace sitl {

inline constexpr uint8_t kFileServerNodeId = 126;

// uavcan.protocol.file.Error values it answers with.
inline constexpr int16_t kFileOk = 0;
inline constexpr int16_t kFileNotFound = 2;
inline constexpr int16_t kFileIoError = 5;
inline constexpr int16_t kFileAccessDenied = 13;
inline constexpr int16_t kFileIsDirectory = 21;
inline constexpr int16_t kFileInvalidValue = 22;

class FileServer final : public sim::CanParticipant {
public:
    FileServer(unsigned port, std::string directory, uint8_t node_id = kFileServerNodeId);
    ~FileServer();
    FileServer(const FileServer&) = delete;
    FileServer& operator=(const FileServer&) = delete;

    // The server goes quiet after answering this many requests (as one whose host went away).
    void answerAtMost(uint64_t answers) { answer_limit_ = answers; }
    // The n-th request from now (n >= 1) gets no answer; later ones do.
    void ignoreRequest(uint64_t n) { ignore_at_ = requests_ + n; }
    uint64_t requests() const { return requests_; }
    uint64_t answers() const { return answers_; }

    // Error code and data for `length` bytes at `offset` of `path`, as a request would get them.
    int16_t read(const std::string& path, uint64_t offset, std::size_t length, std::vector<uint8_t>* data) const;

    const sim::CanFrame* offer(uint64_t nowNs) override;
    uint64_t nextOfferNs() const override;
    void onSent(bool acknowledged, uint64_t endNs) override;
    void onFrame(const sim::CanFrame& frame, uint64_t endNs) override;

private:
    struct Reassembly {
        uint8_t transfer_id = 0;
        bool toggle = false;
        std::vector<uint8_t> bytes;
    };
    void serve(uint32_t can_id, uint8_t transfer_id, const std::vector<uint8_t>& payload);

    unsigned port_;
    std::string directory_;
    uint8_t node_id_;
    std::map<uint8_t, Reassembly> open_;  // by requesting node
    std::deque<sim::CanFrame> queue_;
    sim::CanFrame current_{};
    uint64_t requests_ = 0;
    uint64_t answers_ = 0;
    uint64_t answer_limit_ = UINT64_MAX;
    uint64_t ignore_at_ = 0;
    uint64_t due_ns_ = 0;  // when the queued answer was made
};

}  // namespace sitl
