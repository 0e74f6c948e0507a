// see tcpcomm.h: opening a connection, address resolution and error sentences
#include "net/tcpcomm.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <new>

#include "common/deadline.h"
#include "common/trace.h"

static constexpr const char kTraceSource[] = "tcpcomm";

namespace {

constexpr uint32_t kNoAddress = 0xFFFFFFFFu;

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

// One part of a dotted address: decimal, octal with a leading 0, hex with 0x. Advances `p` past
// it. Returns false for no digits, a bad digit or a value beyond 32 bits.
bool parsePart(const char*& p, uint64_t* value) {
    unsigned base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    } else if (p[0] == '0') {
        base = 8;
    }
    uint64_t v = 0;
    int digits = 0;
    for (;; ++p, ++digits) {
        unsigned d;
        unsigned char c = static_cast<unsigned char>(*p);
        if (isdigit(c)) {
            d = c - '0';
        } else if (base == 16 && isxdigit(c)) {
            d = static_cast<unsigned>(tolower(c) - 'a' + 10);
        } else {
            break;
        }
        if (d >= base) return false;
        v = v * base + d;
        if (v > 0xFFFFFFFFu) return false;
    }
    *value = v;
    return digits > 0;
}

// Connects `fd` within the connect time-out. Returns 0, or the errno value of the failure.
int connectWithin(int fd, const sockaddr_in& peer, int millis) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return errno;
    int err = 0;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) < 0) err = errno;
    if (err == EINPROGRESS || err == EINTR) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(millis);
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return ETIMEDOUT;
            pollfd pfd{fd, POLLOUT, 0};
            int ready = poll(&pfd, 1, static_cast<int>(left.count()));
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) return errno;
            if (ready == 0) return ETIMEDOUT;
            break;
        }
        socklen_t len = sizeof err;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) return errno;
    }
    if (err != 0) return err;
    if (fcntl(fd, F_SETFL, flags) < 0) return errno;
    return 0;
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

void tcpSetSocketWait(int fd, int millis) {
    timeval tv{};
    tv.tv_sec = millis / 1000;
    tv.tv_usec = (millis % 1000) * 1000;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

void tcpSetTimeouts(TcpTimeouts timeouts) {
    gTimeouts = timeouts;
}

TcpTimeouts tcpGetTimeouts() {
    return gTimeouts;
}

int tcpOpen(char* address, const char* port, SessionDesc* session, char* errorText,
            size_t errorSize) {
    // The socket library needs no start-up here, and no blocking call can be cancelled: the
    // start-up failure and the cancel step have nothing to do.
    auto* conn = new (std::nothrow) TcpConnection;
    if (conn == nullptr) return -1;
    TRACE("(%s, %i) Getting local socket for call out.\n", TRACE_AT);
    conn->socket = socket(AF_INET, SOCK_STREAM, 0);
    if (conn->socket < 0) {
        snprintf(errorText, errorSize, "Can't open local socket to talk with %s", address);
        delete conn;
        return -1;
    }
    uint32_t ip = 0;
    if (tcpResolveAddress(address, &ip) != 0) {
        snprintf(errorText, errorSize, "Unable to resolve hostname %s", address);
        tcpRelease(conn);
        return -1;
    }
    conn->peer.sin_family = AF_INET;
    conn->peer.sin_port = htons(tcpPortFromText(port));
    conn->peer.sin_addr.s_addr = ip;
    int err = connectWithin(conn->socket, conn->peer, deadlineWaitMillis(gTimeouts.connectMillis));
    if (err != 0) {
        tcpRelease(conn);
        writeConnectMessage(tcpMapErrno(err), address, port, errorText, errorSize);
        return -1;
    }
    tcpSetSocketWait(conn->socket, gTimeouts.ioMillis);
    TRACE("(%s, %i) Connected to client at address %s, port %s.\n", TRACE_AT, address, port);
    conn->closed = 0;
    session->conn = conn;
    session->send = sendOp;
    session->receive = receiveOp;
    session->flush = flushOp;
    session->close = closeOp;
    session->release = releaseOp;
    return 0;
}

uint32_t tcpParseDotted(const char* text) {
    uint64_t parts[4];
    int count = 0;
    const char* p = text;
    for (;;) {
        if (count == 4 || !parsePart(p, &parts[count])) return kNoAddress;
        ++count;
        if (*p == '\0') break;
        if (*p != '.') return kNoAddress;
        ++p;
    }
    // The last part fills every byte the earlier parts leave; the earlier ones are one byte each.
    uint64_t value = 0;
    for (int i = 0; i < count - 1; ++i) {
        if (parts[i] > 0xFF) return kNoAddress;
        value |= parts[i] << (24 - 8 * i);
    }
    int lastBits = 32 - 8 * (count - 1);
    if (lastBits < 32 && parts[count - 1] >= (uint64_t{1} << lastBits)) return kNoAddress;
    value |= parts[count - 1];
    return htonl(static_cast<uint32_t>(value));
}

int tcpResolveAddress(char* text, uint32_t* out) {
    uint32_t ip = tcpParseDotted(text);
    if (ip != kNoAddress) {
        *out = ip;
        return 0;
    }
    for (char* c = text; *c != '\0'; ++c) {
        *c = static_cast<char>(tolower(static_cast<unsigned char>(*c)));
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (text[0] == '\0' || getaddrinfo(text, nullptr, &hints, &found) != 0 || found == nullptr) {
        return -1;
    }
    *out = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return 0;
}

uint16_t tcpPortFromText(const char* text) {
    const char* p = text;
    while (isspace(static_cast<unsigned char>(*p))) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    uint32_t value = 0;  // wraps like the 32-bit arithmetic it stands for, never overflows
    for (; isdigit(static_cast<unsigned char>(*p)); ++p) value = value * 10u + (*p - '0');
    if (negative) value = 0u - value;
    return static_cast<uint16_t>(value);
}

uint32_t tcpMapErrno(int err) {
    switch (err) {
        case ECONNREFUSED:
            return kWsaEconnrefused;
        case ETIMEDOUT:
            return kWsaEtimedout;
        case ENETUNREACH:
            return kWsaEnetunreach;
        case EHOSTUNREACH:
            return kWsaEhostunreach;
        case EADDRNOTAVAIL:
            return kWsaEaddrnotavail;
        case ECONNRESET:
            return kWsaEconnreset;
        case EINTR:
            return kWsaEintr;
        case EFAULT:
            return kWsaEfault;
        case EINVAL:
            return kWsaEinval;
        case EMFILE:
            return kWsaEmfile;
        case EAGAIN:
            return kWsaEwouldblock;
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
            return kWsaEwouldblock;
#endif
        case EINPROGRESS:
            return kWsaEinprogress;
        case ENOTSOCK:
            return kWsaEnotsock;
        case EAFNOSUPPORT:
            return kWsaEafnosupport;
        case EADDRINUSE:
            return kWsaEaddrinuse;
        case ENETDOWN:
            return kWsaEnetdown;
        case ENOBUFS:
            return kWsaEnobufs;
        case EISCONN:
            return kWsaEisconn;
        default:
            return static_cast<uint32_t>(err);
    }
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
