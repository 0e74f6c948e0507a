// see tcpcomm.h: opening a connection and error sentences (address texts: tcpaddress.cpp)
#include "net/tcpcomm.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/deadline.h"
#include "common/trace.h"
#include "net/tcpsocket.h"

static constexpr const char kTraceSource[] = "tcpcomm";

namespace {

constexpr uint16_t kAfInet = 2;  // AF_INET on every platform the program runs on
constexpr uint32_t kAccessViolation = 0xC0000005u;
constexpr size_t kFaultTextSize = 512;

TcpTimeouts gTimeouts;

int sendOp(void* conn, const unsigned char* bytes, int32_t count) {
    return tcpSend(static_cast<TcpConnection*>(conn), bytes, count);
}
int receiveOp(void* conn, unsigned char* dest, int32_t capacity) {
    return tcpReceive(static_cast<TcpConnection*>(conn), dest, capacity);
}
int flushOp(void* conn) {
    return tcpFlush(static_cast<TcpConnection*>(conn));
}
void closeOp(void* conn) {
    tcpClose(static_cast<TcpConnection*>(conn));
}
void releaseOp(void* conn) {
    tcpRelease(static_cast<TcpConnection*>(conn));
}

void writeConnectMessage(uint32_t number, const char* address, const char* port, char* out,
                         size_t size) {
    switch (number) {
        case kWsaEaddrnotavail:
            snprintf(out, size, "%s:%s was currently unavaiable.\n", address, port);
            return;
        case kWsaEnetunreach:
        case kWsaEhostunreach:
            snprintf(out, size, "%s was unreachable.\n", address);
            return;
        case kWsaEtimedout:
            snprintf(out, size, "%s did not responsed in a resonable time.\n", address);
            return;
        case kWsaEconnrefused:
            snprintf(out, size, "Connection to %s port %s was refused.\n", address, port);
            return;
        default: {
            char text[kTcpErrorTextSize];
            tcpErrorText(number, text, sizeof text);
            snprintf(out, size, "%s\n", text);
        }
    }
}

}  // namespace

void tcpSetTimeouts(TcpTimeouts timeouts) {
    gTimeouts = timeouts;
}

TcpTimeouts tcpGetTimeouts() {
    return gTimeouts;
}

int tcpOpen(char* address, const char* port, Transport* transport, char* errorText,
            size_t errorSize) {
    if (sockStartup() != 0) {
        snprintf(errorText, errorSize, "Unable to initalize the TCP/IP stack");
        return -1;
    }
    auto* conn = new (std::nothrow) TcpConnection;
    if (conn == nullptr) return -1;
    TRACE("(%s, %i) Getting local socket for call out.\n", TRACE_AT);
    conn->socket = sockCreate();
    if (conn->socket == kTcpNoSocket) {
        snprintf(errorText, errorSize, "Can't open local socket to talk with %s", address);
        delete conn;
        sockCancelBlocking();
        return -1;
    }
    uint32_t ip = 0;
    if (tcpResolveAddress(address, &ip) != 0) {
        snprintf(errorText, errorSize, "Unable to resolve hostname %s", address);
        tcpRelease(conn);
        sockCancelBlocking();
        return -1;
    }
    conn->peer.family = kAfInet;
    conn->peer.port = networkOrder(tcpPortFromText(port));
    conn->peer.address = ip;
    uint32_t err =
        sockConnect(conn->socket, conn->peer, deadlineWaitMillis(gTimeouts.connectMillis));
    if (err != 0) {
        tcpRelease(conn);
        writeConnectMessage(err, address, port, errorText, errorSize);
        return -1;
    }
    TRACE("(%s, %i) Connected to client at address %s, port %s.\n", TRACE_AT,
          traceText(address).c_str(), traceText(port).c_str());
    conn->closed = 0;
    *transport = {conn, sendOp, receiveOp, flushOp, closeOp, releaseOp};
    return 0;
}

int tcpErrorText(uint32_t number, char* dest, size_t destSize) {
    const char* text = nullptr;
    switch (number) {
        case kWsaEintr:
            text = "The (blocking) call was canceled using WSACancelBlockingCall.";
            break;
        case kWsaEfault:
            text = "The namelen argument is incorrect.";
            break;
        case kWsaEinval:
            text = "The socket is not already bound to an address.";
            break;
        case kWsaEmfile:
            text = "No more file descriptors are available.";
            break;
        case kWsaEwouldblock:
            text =
                "The socket is marked as nonblocking and the connection cannot be completed "
                "immediately.";
            break;
        case kWsaEinprogress:
            text = "A blocking Windows Sockets call is in progress.";
            break;
        case kWsaEnotsock:
            text = "The descriptor is not a socket.";
            break;
        case kWsaEafnosupport:
            text = "Addresses in the specified family cannot be used with this socket.";
            break;
        case kWsaEaddrinuse:
            text = "The specified address is already in use.";
            break;
        case kWsaEaddrnotavail:
            text = "The specified address is not available from the local computer.";
            break;
        case kWsaEnetdown:
            text =
                "The Windows Sockets implementation has detected that the network subsystem has "
                "failed.";
            break;
        case kWsaEnetunreach:
            text = "The network can't be reached from this host at this time.";
            break;
        case kWsaEnobufs:
            text = "No buffer space is available. The socket cannot be connected.";
            break;
        case kWsaEisconn:
            text = "The socket is already connected.";
            break;
        case kWsaEtimedout:
            text = "Attempt to connect timed out without establishing a connection.";
            break;
        case kWsaEconnrefused:
            text = "The attempt to connect was forcefully rejected.";
            break;
        case kWsaNotinitialised:
            text = "A successful WSAStartup must occur before using this function.";
            break;
        default:
            snprintf(dest, destSize, "Unknown TCP/IP error. Unrecognized return code: %u", number);
            return 0;
    }
    snprintf(dest, destSize, "%s", text);
    return 0;
}

void tcpDescribeFault(uint32_t code, uint64_t codeAddress, uint64_t writeFlag,
                      uint64_t dataAddress) {
    char text[kFaultTextSize];
    int used =
        snprintf(text, sizeof text, "Code = %" PRIx32 ", Address = %" PRIx64, code, codeAddress);
    if (code == kAccessViolation && used > 0 && static_cast<size_t>(used) < sizeof text) {
        snprintf(text + used, sizeof text - static_cast<size_t>(used),
                 "Attempt to %s data at address %" PRIx64, writeFlag == 0 ? "read" : "write",
                 dataAddress);
    }
    TRACE("(%s, %i)VELK Exception Information: %s~", TRACE_AT, text);
}
