// see tcpsocket.h: the BSD sockets side
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>

#include "net/tcpsocket.h"

namespace {

static_assert(AF_INET == 2);

// The Windows Sockets number of an errno value; other values are returned unchanged.
uint32_t wsaNumber(int err) {
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

// The socket time-outs report a call that made no progress in time as EAGAIN; it is a time-out.
uint32_t ioError(int err) {
    if (err == EAGAIN || err == EWOULDBLOCK) return kWsaEtimedout;
    return wsaNumber(err);
}

// The peer is kept in the platform's own form: it goes to connect as it is.
static_assert(sizeof(TcpPeer) == sizeof(sockaddr_in));
static_assert(offsetof(sockaddr_in, sin_port) == offsetof(TcpPeer, port));
static_assert(offsetof(sockaddr_in, sin_addr) == offsetof(TcpPeer, address));

const sockaddr* addressOf(const TcpPeer& peer) {
    return reinterpret_cast<const sockaddr*>(&peer);
}

// Waits until the connect in progress on `fd` ends or `millis` pass. Returns 0 or an errno value.
int awaitConnect(int fd, int millis) {
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
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) return errno;
        return err;
    }
}

}  // namespace

int sockStartup() {
    return 0;  // nothing to start
}

TcpSocket sockCreate() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    return fd < 0 ? kTcpNoSocket : fd;
}

uint32_t sockConnect(TcpSocket socket, const TcpPeer& peer, int millis) {
    int fd = static_cast<int>(socket);
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return wsaNumber(errno);
    int err = 0;
    if (connect(fd, addressOf(peer), sizeof peer) < 0) err = errno;
    if (err == EINPROGRESS || err == EINTR) err = awaitConnect(fd, millis);
    if (err == 0 && fcntl(fd, F_SETFL, flags) < 0) err = errno;
    return err == 0 ? 0 : wsaNumber(err);
}

void sockSetIoTimeouts(TcpSocket socket, int millis) {
    timeval tv{};
    tv.tv_sec = millis / 1000;
    tv.tv_usec = (millis % 1000) * 1000;
    setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

int64_t sockSend(TcpSocket socket, const unsigned char* bytes, size_t count, uint32_t* error) {
    for (;;) {
        // A server that has gone away fails the send instead of raising SIGPIPE.
        ssize_t n = ::send(static_cast<int>(socket), bytes, count, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) *error = ioError(errno);
        return n;
    }
}

int64_t sockReceive(TcpSocket socket, unsigned char* dest, size_t capacity, uint32_t* error) {
    for (;;) {
        ssize_t n = ::recv(static_cast<int>(socket), dest, capacity, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) *error = ioError(errno);
        return n;
    }
}

void sockClose(TcpSocket socket) {
    ::close(static_cast<int>(socket));
}

int sockLookup(const char* name, uint32_t* out) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) return -1;
    *out = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return 0;
}

void sockCancelBlocking() {}  // no call here can block past its time-out, and none can be cancelled
