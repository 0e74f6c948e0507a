// see tcpsocket.h: the Windows Sockets side
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winsock2.h>

#include <climits>
#include <cstddef>

#include "net/tcpsocket.h"

namespace {

static_assert(AF_INET == 2);
static_assert(sizeof(SOCKET) == sizeof(TcpSocket));

SOCKET handleOf(TcpSocket socket) {
    return static_cast<SOCKET>(socket);
}

// The peer is kept in the platform's own form: it goes to connect as it is.
static_assert(sizeof(TcpPeer) == sizeof(sockaddr_in));
static_assert(offsetof(sockaddr_in, sin_port) == offsetof(TcpPeer, port));
static_assert(offsetof(sockaddr_in, sin_addr) == offsetof(TcpPeer, address));

const sockaddr* addressOf(const TcpPeer& peer) {
    return reinterpret_cast<const sockaddr*>(&peer);
}

int chunkOf(size_t count) {
    return count > INT_MAX ? INT_MAX : static_cast<int>(count);
}

// Waits until the connect in progress ends or `millis` pass: a failed connect shows in the except
// set. Returns 0 or a Windows Sockets number.
uint32_t awaitConnect(SOCKET s, int millis) {
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval limit{millis / 1000, (millis % 1000) * 1000};
    int ready = select(0, nullptr, &writable, &failed, &limit);
    if (ready == SOCKET_ERROR) return static_cast<uint32_t>(WSAGetLastError());
    if (ready == 0) return kWsaEtimedout;
    if (!FD_ISSET(s, &failed)) return 0;
    int err = 0;
    int len = sizeof err;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0) {
        return static_cast<uint32_t>(WSAGetLastError());
    }
    return err != 0 ? static_cast<uint32_t>(err) : kWsaEconnrefused;
}

// The fault guard of the cancel step: describes the fault and lets the search for a handler go on.
LONG CALLBACK describeFault(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    bool access = record->NumberParameters >= 2;
    tcpDescribeFault(static_cast<uint32_t>(record->ExceptionCode),
                     reinterpret_cast<uintptr_t>(record->ExceptionAddress),
                     access ? record->ExceptionInformation[0] : 0,
                     access ? record->ExceptionInformation[1] : 0);
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

int sockStartup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(1, 1), &data) == 0 ? 0 : -1;
}

TcpSocket sockCreate() {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    return s == INVALID_SOCKET ? kTcpNoSocket : static_cast<TcpSocket>(s);
}

uint32_t sockConnect(TcpSocket socket, const TcpPeer& peer, int millis) {
    SOCKET s = handleOf(socket);
    u_long nonBlocking = 1;
    if (ioctlsocket(s, FIONBIO, &nonBlocking) != 0) return WSAGetLastError();
    uint32_t err = 0;
    if (connect(s, addressOf(peer), sizeof peer) != 0) {
        err = static_cast<uint32_t>(WSAGetLastError());
        if (err == kWsaEwouldblock) err = awaitConnect(s, millis);
    }
    u_long blocking = 0;
    if (err == 0 && ioctlsocket(s, FIONBIO, &blocking) != 0) err = WSAGetLastError();
    return err;
}

void sockSetIoTimeouts(TcpSocket socket, int millis) {
    // Windows takes the time-outs as a DWORD of milliseconds, not as a timeval.
    DWORD limit = static_cast<DWORD>(millis);
    const char* value = reinterpret_cast<const char*>(&limit);
    setsockopt(handleOf(socket), SOL_SOCKET, SO_RCVTIMEO, value, sizeof limit);
    setsockopt(handleOf(socket), SOL_SOCKET, SO_SNDTIMEO, value, sizeof limit);
}

int64_t sockSend(TcpSocket socket, const unsigned char* bytes, size_t count, uint32_t* error) {
    int n = send(handleOf(socket), reinterpret_cast<const char*>(bytes), chunkOf(count), 0);
    if (n == SOCKET_ERROR) {
        *error = static_cast<uint32_t>(WSAGetLastError());
        return -1;
    }
    return n;
}

int64_t sockReceive(TcpSocket socket, unsigned char* dest, size_t capacity, uint32_t* error) {
    int n = recv(handleOf(socket), reinterpret_cast<char*>(dest), chunkOf(capacity), 0);
    if (n == SOCKET_ERROR) {
        *error = static_cast<uint32_t>(WSAGetLastError());
        return -1;
    }
    return n;
}

void sockClose(TcpSocket socket) {
    closesocket(handleOf(socket));
}

int sockLookup(const char* name, uint32_t* out) {
    const hostent* entry = gethostbyname(name);
    if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_length != 4 ||
        entry->h_addr_list[0] == nullptr) {
        return -1;
    }
    memcpy(out, entry->h_addr_list[0], 4);
    return 0;
}

void sockCancelBlocking() {
    PVOID guard = AddVectoredExceptionHandler(1, describeFault);
    (void)WSACancelBlockingCall();
    if (guard != nullptr) RemoveVectoredExceptionHandler(guard);
}
