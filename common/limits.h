// Every fixed size and bound of the program that more than one subsystem relies on, with its
// reason.
//
// Owns constants only. A module that enforces one of these does so in one place and names it here;
// limits private to one module live at the top of that module's header.
#pragma once

#include <cstddef>
#include <cstdint>

// An options text (server, port, trace file, CGI URL): 64 characters and a terminator.
inline constexpr size_t kOptionTextSize = 65;
// The administrator id and password as stored and handed around: 63 characters and a terminator;
// the enciphered password block is the same 64 bytes.
inline constexpr size_t kCredentialSize = 64;
// The servers a request may name besides the default one: at most this many entries, each a host
// or host:port of at most this many characters, separated by ","; the stored text holds them all.
inline constexpr size_t kAllowedServersMax = 32;
inline constexpr size_t kAllowedServerEntryMax = 64;
inline constexpr size_t kAllowedServersTextSize = kAllowedServersMax * (kAllowedServerEntryMax + 1);
// A web user name (REMOTE_USER) that may have a logon pair of its own: 1 to this many bytes.
inline constexpr size_t kWebUserNameMax = 64;
// Product name and version texts read at start-up: 255 characters and a terminator.
inline constexpr size_t kProductTextSize = 256;
// The request text that a command-line replay hands to the request handlers.
inline constexpr size_t kReplayRequestSize = 5000;
// Pieces of one request argument list; beyond this the request is refused, not truncated.
inline constexpr size_t kMaxArgPieces = 10000;
// A POST body larger than this is refused before any of it is read.
inline constexpr size_t kMaxPostBody = 1024 * 1024;
// A request body that the program leaves unread (refused, or longer than announced) is read and
// dropped up to this much before the request ends, so that a web server's kept connection goes on
// at the next request; a longer one ends the connection instead.
inline constexpr size_t kMaxUnreadBody = 8 * 1024 * 1024;
// An announced page larger than this is treated as an allocation that failed.
inline constexpr uint64_t kMaxPageBytes = 256ull * 1024 * 1024;
// A block of memory this large or larger is mapped on its own and goes back to the system when it
// is freed, and free memory this large at the heap's end goes back too: a long-lived process keeps
// nothing of a big page once its request has ended.
inline constexpr size_t kReturnedMemoryBytes = 256 * 1024;
// A verb longer than this ends the session instead of being allocated for.
inline constexpr uint32_t kMaxVerbLength = 1024 * 1024;
// The response line kept from the server; the rest of an over-long line is read and dropped...
inline constexpr size_t kResponseLineMax = 255;
// ...but no more than this much of it, after which the receive fails.
inline constexpr size_t kResponseLineDropMax = 64 * 1024;
// The transport's send buffer.
inline constexpr size_t kTcpSendBufferSize = 4096;
// The transport's receive read-ahead: one socket read fills up to this much, and the small pieces
// the session asks for (single bytes of a response line, 1024-byte pieces of a page) are served
// from it, so a page costs a socket read per this many bytes rather than one per piece.
inline constexpr size_t kTcpReceiveAheadSize = 64 * 1024;
// A connect that has not completed in this time fails as a timed-out connection.
inline constexpr int kConnectTimeoutSeconds = 30;
// Every later send or receive that makes no progress for this long fails like a socket error.
inline constexpr int kIoTimeoutSeconds = 120;
// Whatever each operation's own time-out, the session set-up (connect, identify, proxy session,
// authentication) of one request ends after this long...
inline constexpr int kSetupDeadlineSeconds = 60;
// ...and the request's whole conversation with the server after this long.
inline constexpr int kRequestDeadlineSeconds = 300;
// A socket's time-out, once cut to what was left of the request, is kept for later operations
// while it overshoots the request's end by less than this fraction of itself, and never by more
// than the second after it: setting it anew before every send and receive cost two system calls
// each.
inline constexpr int kDeadlineSlackDivisor = 64;
inline constexpr int kDeadlineSlackMaxMillis = 1000;

// A FastCGI application keeps this many workers, each serving one request at a time, unless
// KORPROXY_WORKERS says otherwise: enough that requests held by silent servers leave others
// served...
inline constexpr int kDefaultFastcgiWorkers = 16;
// ...and never more than this many, whatever it says.
inline constexpr int kMaxFastcgiWorkers = 128;
// A worker that ended sooner than this after its start is replaced only after as long a pause, so
// that a worker failing at once cannot keep the machine forking.
inline constexpr int kFastcgiRestartPauseMillis = 1000;
// A web server's connection that sends nothing for this long (half a request's parameters, a
// body that stops) is closed, and its worker serves the next one.
inline constexpr int kFastcgiReadTimeoutSeconds = 30;

static_assert(kCredentialSize % 8 == 0, "the enciphered password block is whole DES blocks");
static_assert(kResponseLineDropMax > kResponseLineMax);
static_assert(kSetupDeadlineSeconds < kRequestDeadlineSeconds);
static_assert(kDefaultFastcgiWorkers <= kMaxFastcgiWorkers);
