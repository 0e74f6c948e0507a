// see tcpcomm.h: the buffered send, receive, flush and close of an open connection
#include <algorithm>
#include <cstring>

#include "common/deadline.h"
#include "common/trace.h"
#include "net/tcpcomm.h"
#include "net/tcpsocket.h"

static constexpr const char kTraceSource[] = "tcpcomm";

namespace {

// Cuts the socket's wait to what is left of the request. False, with a time-out recorded, once
// nothing is left. A time-out set earlier stays while it is no shorter than the wait and
// overshoots it by less than the slack.
bool waitAllowed(TcpConnection* conn) {
    const int wait = deadlineWaitMillis(tcpGetTimeouts().ioMillis);
    if (wait <= 0) {
        conn->lastError = kWsaEtimedout;
        TRACE("(%s, %i) The request has run out of time.\n", TRACE_AT);
        return false;
    }
    const int slack = std::min(conn->waitMillis / kDeadlineSlackDivisor, kDeadlineSlackMaxMillis);
    if (wait > conn->waitMillis || conn->waitMillis - wait > slack) {
        sockSetIoTimeouts(conn->socket, wait);
        conn->waitMillis = wait;
    }
    return true;
}

// One send of up to `count` bytes within what is left of the request. Returns the number taken,
// or -1 on a socket error (traced) or a time-out.
int64_t sendSome(TcpConnection* conn, const unsigned char* bytes, size_t count) {
    if (!waitAllowed(conn)) return -1;
    int64_t n = sockSend(conn->socket, bytes, count, &conn->lastError);
    if (n < 0) {
        TRACE("(%s, %i) Tcp Recieve error.  WSAError=%i", TRACE_AT,
              static_cast<int>(conn->lastError));
    }
    return n;
}

// Sends every pending byte, repeating the send while the socket takes fewer than offered. On a
// failure the bytes not yet taken stay pending at the start of the buffer.
int sendPending(TcpConnection* conn) {
    size_t pending = static_cast<size_t>(conn->fill - conn->buffer);
    size_t sent = 0;
    while (sent < pending) {
        int64_t n = sendSome(conn, conn->buffer + sent, pending - sent);
        if (n < 0) {
            memmove(conn->buffer, conn->buffer + sent, pending - sent);
            conn->fill = conn->buffer + (pending - sent);
            return -1;
        }
        sent += static_cast<size_t>(n);
    }
    conn->fill = conn->buffer;
    return 0;
}

// One socket read into the empty read-ahead. Returns 0 with at least one byte there, or -1 on a
// socket error (traced), a time-out or end of stream.
int refillAhead(TcpConnection* conn) {
    conn->aheadStart = 0;
    conn->aheadEnd = 0;
    if (!waitAllowed(conn)) return -1;
    int64_t n = sockReceive(conn->socket, conn->ahead, sizeof conn->ahead, &conn->lastError);
    if (n < 0) {
        TRACE("(%s, %i) Tcp Recieve error.  WSAError=%i\n", TRACE_AT,
              static_cast<int>(conn->lastError));
        return -1;
    }
    if (n == 0) return -1;  // the server has closed its side
    conn->aheadEnd = static_cast<size_t>(n);
    return 0;
}

}  // namespace

int tcpSend(TcpConnection* conn, const unsigned char* bytes, int32_t count) {
    unsigned char* const end = conn->buffer + sizeof conn->buffer;
    while (count > 0) {
        if (conn->closed) return -1;
        if (conn->fill == end && sendPending(conn) != 0) return -1;
        int32_t chunk = std::min<int32_t>(count, static_cast<int32_t>(end - conn->fill));
        memcpy(conn->fill, bytes, static_cast<size_t>(chunk));
        TRACE("(%s, %i) tcpSend: %d bytes moved into buffer\n", TRACE_AT, chunk);
        conn->fill += chunk;
        bytes += chunk;
        count -= chunk;
    }
    return 0;
}

int tcpReceive(TcpConnection* conn, unsigned char* dest, int32_t capacity) {
    if (conn->closed) return -1;
    if (conn->fill != conn->buffer && sendPending(conn) != 0) return -1;
    if (capacity <= 0) return -1;
    if (conn->aheadStart == conn->aheadEnd && refillAhead(conn) != 0) return -1;
    size_t n = std::min(static_cast<size_t>(capacity), conn->aheadEnd - conn->aheadStart);
    memcpy(dest, conn->ahead + conn->aheadStart, n);
    conn->aheadStart += n;
    return static_cast<int>(n);
}

int tcpFlush(TcpConnection* conn) {
    if (conn->closed) return -1;
    if (conn->fill == conn->buffer) return 0;
    return sendPending(conn);
}

void tcpClose(TcpConnection* conn) {
    if (conn->closed) return;
    sockClose(conn->socket);
    conn->closed = 1;
}

void tcpRelease(TcpConnection* conn) {
    if (conn == nullptr) return;
    if (conn->socket != kTcpNoSocket) tcpClose(conn);
    delete conn;
}
