// The program's only contact with the network: one blocking IPv4 TCP connection to the
// storage-management server with a 4096-byte send buffer and a receive read-ahead, its four
// operations (buffered send, receive, flush, close) that tcpOpen installs in a Transport
// (net/transport.h), the resolution of an address text, and the sentences for socket error numbers.
//
// Owns the connection record and its socket. Socket errors are reported as Windows Sockets numbers
// so that the texts the error page shows are the same on every platform. Never blocks for ever: a
// connect gives up after the connect time-out and every later send or receive after the I/O
// time-out, each cut to what is left of the request (common/deadline.h). Never raises SIGPIPE.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/limits.h"
#include "net/transport.h"

// Windows Sockets numbers that the transport's messages are keyed by.
enum TcpError : uint32_t {
    kWsaEintr = 10004,
    kWsaEfault = 10014,
    kWsaEinval = 10022,
    kWsaEmfile = 10024,
    kWsaEwouldblock = 10035,
    kWsaEinprogress = 10036,
    kWsaEnotsock = 10038,
    kWsaEafnosupport = 10047,
    kWsaEaddrinuse = 10048,
    kWsaEaddrnotavail = 10049,
    kWsaEnetdown = 10050,
    kWsaEnetunreach = 10051,
    kWsaEconnreset = 10054,
    kWsaEnobufs = 10055,
    kWsaEisconn = 10056,
    kWsaEtimedout = 10060,
    kWsaEconnrefused = 10061,
    kWsaEhostunreach = 10065,
    kWsaNotinitialised = 10093,
};

// The longest sentence of tcpErrorText is 87 characters.
inline constexpr size_t kTcpErrorTextSize = 88;

// A socket handle of the platform: a descriptor, or a Windows SOCKET (64 bits there).
using TcpSocket = intptr_t;
inline constexpr TcpSocket kTcpNoSocket = -1;

// The IPv4 socket address of the connect, in the platform's 16-byte form.
struct TcpPeer {
    uint16_t family = 0;
    uint16_t port = 0;     // network byte order
    uint32_t address = 0;  // network byte order
    unsigned char zero[8] = {};
};
static_assert(sizeof(TcpPeer) == 16);

struct TcpConnection {
    TcpSocket socket = kTcpNoSocket;
    TcpPeer peer = {};
    int closed = 0;
    unsigned char buffer[kTcpSendBufferSize];
    unsigned char* fill = buffer;  // the pending bytes run from buffer up to fill
    uint32_t lastError = 0;        // Windows Sockets number of the last failed socket call
    int waitMillis = 0;  // the socket's send and receive time-out now; 0 until the first sets it
    // Bytes read from the socket and not yet handed out: from ahead + aheadStart up to
    // ahead + aheadEnd. A receive takes from here first and reads the socket only when it is empty.
    size_t aheadStart = 0;
    size_t aheadEnd = 0;
    unsigned char ahead[kTcpReceiveAheadSize];
};

// How long a connect, and then each send or receive, may wait. Tests shorten them.
struct TcpTimeouts {
    int connectMillis = kConnectTimeoutSeconds * 1000;
    int ioMillis = kIoTimeoutSeconds * 1000;
};
void tcpSetTimeouts(TcpTimeouts timeouts);
TcpTimeouts tcpGetTimeouts();

// The TransportOpener of the TCP connection: connects to `address`:`port` and fills `transport`
// with the connection record and the operations below. `address` is writable: a host name is
// lower-cased in place. Returns 0, or -1 with a sentence in `errorText` (cut to `errorSize`),
// except when the record itself cannot be allocated.
[[nodiscard]] int tcpOpen(char* address, const char* port, Transport* transport, char* errorText,
                          size_t errorSize);

// Buffers `count` bytes, sending full buffers as they fill. Returns 0, or -1 when the connection
// is closed or a send failed. A count of 0 or less returns 0 at once.
[[nodiscard]] int tcpSend(TcpConnection* conn, const unsigned char* bytes, int32_t count);
// Sends what is pending, then hands out at most `capacity` bytes: those already read ahead, or else
// what one socket read (of up to the read-ahead's size) delivers, keeping the rest for the next
// call. Returns the number of bytes handed out (1 to capacity), or -1 on a closed connection, a
// failed send, or, once nothing read ahead is left, a socket error, a time-out or end of stream.
[[nodiscard]] int tcpReceive(TcpConnection* conn, unsigned char* dest, int32_t capacity);
// Sends every pending byte. Returns 0, or -1 when the connection is closed or the send failed (the
// bytes not yet taken stay pending).
[[nodiscard]] int tcpFlush(TcpConnection* conn);
// Closes the socket once; later calls do nothing.
void tcpClose(TcpConnection* conn);
// Closes the socket if still open and releases the record. Null is allowed.
void tcpRelease(TcpConnection* conn);

// Parses the dotted forms a, a.b, a.b.c and a.b.c.d, each part decimal, octal (leading 0) or hex
// (0x). Returns the address in network byte order, or 0xFFFFFFFF (the no-address value) when the
// text is not such an address.
[[nodiscard]] uint32_t tcpParseDotted(const char* text);
// Resolves a dotted address, or else the lower-cased (in place) host name. Returns 0 with the
// address in network byte order in `*out`, or -1.
[[nodiscard]] int tcpResolveAddress(char* text, uint32_t* out);
// The port of a port text as atoi reads it, low 16 bits.
[[nodiscard]] uint16_t tcpPortFromText(const char* text);
// Writes the sentence for `number` into `dest` (at least kTcpErrorTextSize bytes). Returns 0.
int tcpErrorText(uint32_t number, char* dest, size_t destSize);
