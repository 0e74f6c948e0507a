// The session descriptor of one conversation with the storage-management server, its states, end
// reasons and result codes, and the lifecycle that the web front end drives: create, open (connect,
// identify, proxy session, authentication), send one command, receive its response line and page,
// close, release.
//
// Owns the descriptor and its verb staging buffer. Reaches the network only through the transport
// (net/transport.h) its opener installs in the descriptor; never writes to the browser (the
// front end words the result codes on its error page) and never traces a password.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/transport.h"

// Why a session ended; kSmNotEnded while it is open. The first reason recorded stays.
enum SmEndReason : uint32_t {
    kSmNotEnded = 0,
    kSmEndConnection = 1,     // a send or receive on the connection failed
    kSmEndClosedByProxy = 4,  // closed or released by the proxy, or no proxy capability
    kSmEndProtocol = 5,       // the server broke the protocol
    kSmEndOutOfMemory = 6,    // key material or the staging buffer could not be allocated
};

enum SmState : int32_t {
    kSmIdle = 0,
    kSmIdentifying = 1,
    kSmProxyStarted = 2,
    kSmReady = 7,
};

// How far smOpenSession got: the step it began last, or kSmStepReady when every step passed. The
// connection check tells its failures apart by it.
enum SmStep : int32_t {
    kSmStepNone = 0,
    kSmStepConnect = 1,
    kSmStepIdentify = 2,
    kSmStepProxy = 3,
    kSmStepAuthenticate = 4,
    kSmStepReady = 5,
};

// Results of smOpenSession and the command exchange. The numbers are the system's own and reach
// the error page unchanged; never renumber them.
enum SmResult : int32_t {
    kSmOk = 0,
    kSmFailed = -1,             // identify not sent; authentication failed otherwise
    kSmSessionFailure = 2,      // connect failed, no answer, local failure, unknown status
    kSmOutOfMemory = 3,         // the server (status 13) or the proxy ran out of memory
    kSmValidationMismatch = 5,  // the stored password does not match the server's
    kSmNoSuchAdmin = 6,         // proxy-session status 3
    kSmNotReady = 8,            // a command or page on a session that is not ready
    kSmPasswordExpired = 9,     // proxy-session status 2
    kSmNoProxySupport = 10,     // the server lacks the proxy capability
    kSmAdminLocked = 11,        // proxy-session status 11
};

// A short description of a result code for the trace and for tests; never null.
const char* to_text(SmResult result);

inline constexpr size_t kSmLastErrorSize = 1024;
inline constexpr int32_t kSmInitialStagingSize = 512;

struct SessionDesc {
    SmEndReason termReason = kSmNotEnded;
    unsigned char* verbBuf = nullptr;  // last verb received, header at offset 0
    int32_t verbBufSize = 0;
    SmState state = kSmIdle;
    char lastError[kSmLastErrorSize] = {};  // the transport's sentence after a failed connect
    int32_t ebcdic = 0;
    int32_t secure = 0;
    unsigned char sessionKey[8] = {};
    Transport transport;  // the open connection, or all null
    SmStep setupStep = kSmStepNone;
};

// Returns a new idle descriptor with a zero-filled 512-byte staging buffer, or null.
[[nodiscard]] SessionDesc* smNewSession();

// Connects to host:port and sets the session up. `host` is lower-cased in place when it is a name;
// `adminId` and `password` are converted in place (the password upper-cased, both converted to
// EBCDIC for an EBCDIC server). Returns an SmResult; kSmOk leaves the session ready.
[[nodiscard]] int smOpenSession(SessionDesc* session, char* host, const char* port, char* adminId,
                                char* password);

// Enciphers `length` bytes of `text` under the session key and sends them. Returns kSmOk,
// kSmNotReady, kSmOutOfMemory, or kSmSessionFailure (not secure, or the connection dropped).
[[nodiscard]] int smSendCommand(SessionDesc* session, const char* text, int32_t length);

// Reads the plain response line up to its zero byte. Returns -1 when the connection dropped,
// otherwise the server's return code (0 = a page follows), with the announced page size in
// `*amount` when the line carries one.
[[nodiscard]] int smRecvResponse(SessionDesc* session, uint32_t* amount);

// Reads exactly `amount` page bytes into `buffer` (which holds amount + 1 bytes), deciphers them
// and stores a zero byte behind them. The buffer is written only as bytes arrive, never cleared
// ahead of them. Returns amount, 0 for an amount of 0 or less, kSmNotReady,
// or -1 when the stream failed.
[[nodiscard]] int smRecvData(SessionDesc* session, unsigned char* buffer, int32_t amount);

// Ends the session with `reason` unless it has ended already: closes the connection once and goes
// idle. Returns 0.
int smTerminate(SessionDesc* session, SmEndReason reason);
// Ends the session as closed by the proxy. Returns 0.
int smCloseSession(SessionDesc* session);
// Ends the session if it is still open and releases the descriptor, its staging buffer and its
// connection record. Null is allowed. Returns 0.
int smFreeSession(SessionDesc* session);

// Every allocation of the session layer goes through this; tests install one that fails on cue.
// Null restores malloc.
using SmAllocator = void* (*)(size_t size);
void smSetAllocator(SmAllocator allocator);
void* smAlloc(size_t size);

// How smOpenSession connects; tests and fuzz targets install a scripted opener. Null restores
// tcpOpen.
void smSetTransportOpener(TransportOpener opener);
