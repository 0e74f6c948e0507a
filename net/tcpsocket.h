// The socket calls of the transport, one implementation per platform: tcpsocket_posix.cpp over
// BSD sockets, tcpsocket_win32.cpp over Windows Sockets. tcpcomm keeps everything above them
// (buffering, read-ahead, address texts, messages) in one source for both.
//
// Owns no state beyond what the platform's socket library keeps. Every failure comes back as a
// Windows Sockets number, so the messages need no mapping. Used by the transport only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/byteorder.h"
#include "net/tcpcomm.h"

// A value in network byte order, as the platform's socket address (TcpPeer) holds it.
template <typename T>
T networkOrder(T value) {
    T out;
    unsigned char bytes[sizeof(T)];
    if constexpr (sizeof(T) == 2) {
        putU16BE(bytes, value);
    } else {
        putU32BE(bytes, value);
    }
    memcpy(&out, bytes, sizeof out);
    return out;
}

// Starts the socket library (Windows Sockets 1.1); every connection starts it again and nothing
// shuts it down. Returns 0, or -1 when it cannot start.
[[nodiscard]] int sockStartup();
// A new IPv4 stream socket, or kTcpNoSocket.
[[nodiscard]] TcpSocket sockCreate();
// Connects within `millis`. Returns 0, or the Windows Sockets number of the failure (a time-out is
// kWsaEtimedout). The socket stays blocking afterwards.
[[nodiscard]] uint32_t sockConnect(TcpSocket socket, const TcpPeer& peer, int millis);
// Bounds every later send and receive: a call that makes no progress within `millis` fails.
void sockSetIoTimeouts(TcpSocket socket, int millis);
// One send: the number of bytes taken (at least 1), or -1 with *error set.
[[nodiscard]] int64_t sockSend(TcpSocket socket, const unsigned char* bytes, size_t count,
                               uint32_t* error);
// One receive: the number of bytes delivered, 0 at end of stream, or -1 with *error set.
[[nodiscard]] int64_t sockReceive(TcpSocket socket, unsigned char* dest, size_t capacity,
                                  uint32_t* error);
void sockClose(TcpSocket socket);
// Looks up the (already lower-cased) host name. Returns 0 with the first IPv4 address in network
// byte order in *out, or -1.
[[nodiscard]] int sockLookup(const char* name, uint32_t* out);
// Asks the socket library to cancel a blocking call still in progress, under a guard that
// describes a fault raised meanwhile in the trace (tcpDescribeFault) and passes it on. Does
// nothing where no blocking call can be cancelled.
void sockCancelBlocking();

// Writes the description of a fault raised during the cancel step to the trace: the fault code and
// the code address, and for an access violation (0xC0000005) whether data was read or written
// (`writeFlag` 0: read) and where. Shared by the platforms so that its words are the same.
void tcpDescribeFault(uint32_t code, uint64_t codeAddress, uint64_t writeFlag,
                      uint64_t dataAddress);
