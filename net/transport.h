// The transport as its user sees it: one open connection record and the four operations on it
// (buffered send, receive, flush, close), the release of the record, and the form of the call that
// opens a connection and fills them. tcpOpen opens the TCP one; tests and fuzz targets open
// scripted ones through the same form.
//
// Owns no connection: the record belongs to whoever opened it and goes with `release`. Knows
// nothing of what travels over the connection.
#pragma once

#include <cstddef>
#include <cstdint>

using TransportSendOp = int (*)(void* conn, const unsigned char* bytes, int32_t count);
using TransportReceiveOp = int (*)(void* conn, unsigned char* dest, int32_t capacity);
using TransportFlushOp = int (*)(void* conn);
using TransportCloseOp = void (*)(void* conn);
using TransportReleaseOp = void (*)(void* conn);

// An open connection, or all null before one is opened. The operations return what tcpSend,
// tcpReceive and tcpFlush return (net/tcpcomm.h).
struct Transport {
    void* conn = nullptr;
    TransportSendOp send = nullptr;
    TransportReceiveOp receive = nullptr;
    TransportFlushOp flush = nullptr;
    TransportCloseOp close = nullptr;
    TransportReleaseOp release = nullptr;
};

// Connects to `address`:`port` and fills `transport`. `address` is writable (a host name may be
// lower-cased in place). Returns 0, or -1 with `transport` left as it was and, where the opener has
// one, a sentence in `errorText` (cut to `errorSize`).
using TransportOpener = int (*)(char* address, const char* port, Transport* transport,
                                char* errorText, size_t errorSize);

// The operations on an open transport, each passing the connection record along.
inline int transportSend(const Transport& t, const unsigned char* bytes, int32_t count) {
    return t.send(t.conn, bytes, count);
}
inline int transportReceive(const Transport& t, unsigned char* dest, int32_t capacity) {
    return t.receive(t.conn, dest, capacity);
}
inline int transportFlush(const Transport& t) {
    return t.flush(t.conn);
}
