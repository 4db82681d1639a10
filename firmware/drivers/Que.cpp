#include "firmware/drivers/Que.hpp"

#include <atomic>
#include <cstring>

namespace {

// The two sides share memory only through the indices. The fences keep the compiler from moving buffer
// accesses across the index stores and loads; on a single core that is all the ordering needed.
inline void publish() { std::atomic_signal_fence(std::memory_order_release); }
inline void acquire() { std::atomic_signal_fence(std::memory_order_acquire); }

// Bytes held, from one snapshot of each index so a concurrent update on the other side cannot make the
// result inconsistent. A buffer shorter than two bytes can hold nothing.
uint16_t heldBytes(const Q_t* Q, uint16_t ins, uint16_t rem)
{
    if (Q->Len < 2U || ins >= Q->Len || rem >= Q->Len) {
        return 0U;
    }
    return (ins >= rem) ? static_cast<uint16_t>(ins - rem) : static_cast<uint16_t>(ins + Q->Len - rem);
}

uint16_t freeBytes(const Q_t* Q, uint16_t ins, uint16_t rem)
{
    if (Q->Len < 2U || ins >= Q->Len || rem >= Q->Len) {
        return 0U;
    }
    return static_cast<uint16_t>(Q->Len - 1U - heldBytes(Q, ins, rem));
}

bool QEmpty(const Q_t* Q) { return Q->insert == Q->remove; }

uint16_t QNextInsert(const Q_t* Q, uint16_t ins)
{
    const uint16_t next = static_cast<uint16_t>(ins + 1U);
    return (next >= Q->Len) ? uint16_t{0} : next;
}

bool QFull(const Q_t* Q) { return freeBytes(Q, Q->insert, Q->remove) == 0U; }

}  // namespace

void VarInitQ(Q_t* Q, uint16_t QLen)
{
    Q->Len = QLen;
    Q->insert = 0U;
    Q->remove = 0U;
}

uint16_t QFree(Q_t* Q) { return freeBytes(Q, Q->insert, Q->remove); }

uint16_t QLen(Q_t* Q) { return heldBytes(Q, Q->insert, Q->remove); }

bool QMT(Q_t* Q) { return QEmpty(Q); }

void EnQ1(Q_t* Q, uint8_t val)
{
    if (QFull(Q)) {
        return;
    }
    const uint16_t ins = Q->insert;
    acquire();
    Q->Buffer[ins] = val;
    publish();
    Q->insert = QNextInsert(Q, ins);
}

bool EnQ(Q_t* Q, const uint8_t* data, uint16_t len)
{
    if (len == 0U || data == nullptr) {
        return false;
    }
    const uint16_t ins = Q->insert;
    if (freeBytes(Q, ins, Q->remove) < len) {
        return false;
    }
    acquire();
    const uint16_t toEnd = static_cast<uint16_t>(Q->Len - ins);
    const uint16_t first = (len < toEnd) ? len : toEnd;
    std::memcpy(&Q->Buffer[ins], data, first);
    const uint16_t rest = static_cast<uint16_t>(len - first);
    if (rest > 0U) {
        std::memcpy(&Q->Buffer[0], &data[first], rest);
    }
    // One store after both copies: a reader never sees part of a record that wraps the ring.
    publish();
    uint32_t next = static_cast<uint32_t>(ins) + len;
    if (next >= Q->Len) {
        next -= Q->Len;
    }
    Q->insert = static_cast<uint16_t>(next);
    return true;
}

bool DeQ1(Q_t* Q, uint8_t* byte)
{
    const uint16_t rem = Q->remove;
    if (heldBytes(Q, Q->insert, rem) == 0U || byte == nullptr) {
        return false;
    }
    acquire();
    *byte = Q->Buffer[rem];
    publish();
    const uint16_t next = static_cast<uint16_t>(rem + 1U);
    Q->remove = (next >= Q->Len) ? uint16_t{0} : next;
    return true;
}

bool DeQ(Q_t* Q, uint8_t* data, uint16_t* len)
{
    if (len == nullptr) {
        return false;
    }
    const uint16_t rem = Q->remove;
    const uint16_t held = heldBytes(Q, Q->insert, rem);
    if (*len > held) {
        *len = held;
    }
    if (*len == 0U) {
        return false;
    }
    acquire();
    if (data != nullptr) {
        const uint16_t toEnd = static_cast<uint16_t>(Q->Len - rem);
        const uint16_t first = (*len < toEnd) ? *len : toEnd;
        std::memcpy(data, &Q->Buffer[rem], first);
        if (*len > first) {
            std::memcpy(&data[first], &Q->Buffer[0], static_cast<uint16_t>(*len - first));
        }
    }
    publish();
    uint32_t next = static_cast<uint32_t>(rem) + *len;
    if (next >= Q->Len) {
        next -= Q->Len;
    }
    Q->remove = static_cast<uint16_t>(next);
    return true;
}
