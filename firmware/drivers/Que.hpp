#pragma once
// Byte ring queue with one producer and one consumer, no locks. Either side may be an interrupt: each
// side stores only its own index, and the producer publishes `insert` only after the bytes it covers are
// written. One byte always stays unused, so a queue over Len bytes holds Len - 1.

#include <cstdint>

struct Q_t {
    uint8_t* Buffer;           // bound statically to a buffer of Len bytes
    uint16_t Len;
    volatile uint16_t insert;  // next byte to write; stored only by the producer
    volatile uint16_t remove;  // next byte to read; stored only by the consumer
};

// Empties the queue over its bound buffer, which must hold QLen bytes. Call only while neither side runs.
void VarInitQ(Q_t* Q, uint16_t QLen);

uint16_t QFree(Q_t* Q);
uint16_t QLen(Q_t* Q);
bool QMT(Q_t* Q);

// Appends one byte; a full queue drops it silently.
void EnQ1(Q_t* Q, uint8_t val);
// Appends len bytes, all or nothing. False (nothing written) when they do not fit or len is 0.
bool EnQ(Q_t* Q, const uint8_t* data, uint16_t len);

bool DeQ1(Q_t* Q, uint8_t* byte);
// Takes up to *len bytes and stores the count taken in *len; a null data discards them.
bool DeQ(Q_t* Q, uint8_t* data, uint16_t* len);
