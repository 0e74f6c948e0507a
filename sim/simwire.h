// The simulator's side of the verb framing and of the raw byte stream, on a connected socket.
//
// Owns reading whole verbs (normal 4-byte and extended 12-byte headers, magic 0xA5, big-endian
// lengths), building verb headers, and the socket calls behind them with their time-outs. Written
// apart from the client's framing on purpose, so the two are checked against each other. Never
// blocks without a bound: every receive gives up after kPeerIdleSeconds of silence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

inline constexpr unsigned char kVerbMagic = 0xA5;
inline constexpr unsigned char kVerbExtended = 8;
inline constexpr size_t kVerbHeader = 4;
inline constexpr size_t kVerbExtendedHeader = 12;
// A verb announcing more than this is refused; the proxy's verbs are a few dozen bytes.
inline constexpr uint32_t kSimMaxVerbLength = 64 * 1024;
// A client that sends nothing for this long is given up (it also bounds a silent answer's wait).
inline constexpr int kPeerIdleSeconds = 300;

inline constexpr unsigned char VERB_IDENTIFY = 0x1D;
inline constexpr unsigned char VERB_ENDSESSION = 0x14;
inline constexpr unsigned char VERB_PROXYSESS = 0x5E;
inline constexpr unsigned char VERB_AUTH = 0x16;
inline constexpr unsigned char VERB_AUTHRESULT = 0x11;

enum class WireResult : int {
    kOk = 0,
    kClosed = 1,     // the client closed its side (possibly part-way through)
    kFailed = 2,     // a socket error or the idle time-out
    kBadMagic = 3,   // the header's magic byte was not 0xA5
    kBadLength = 4,  // the length is below the header length or above kSimMaxVerbLength
};

[[nodiscard]] const char* wireResultText(WireResult result);

// One received verb: all of its bytes, header included, and the header's interpretation.
struct Verb {
    std::vector<unsigned char> bytes;
    uint32_t code = 0;  // the code byte, or the 32-bit code of the extended form
    size_t header = 0;  // 4 or 12
    size_t length() const { return bytes.size(); }
};

// Sets the idle time-outs on a freshly accepted socket.
void wireSetTimeouts(int fd);
// Reads exactly `count` bytes. Returns kOk, kClosed or kFailed.
[[nodiscard]] WireResult wireReadExact(int fd, unsigned char* into, size_t count);
// Reads whatever one receive delivers, at most `capacity` bytes, into `into`; *got holds the count.
[[nodiscard]] WireResult wireReadSome(int fd, unsigned char* into, size_t capacity, size_t* got);
// Waits up to `millis` for bytes to read. Returns true when some are waiting (or the peer closed).
[[nodiscard]] bool wireReadable(int fd, int millis);
// Reads one whole verb into `out`. On badMagic the header is in out->bytes and nothing more is
// read.
[[nodiscard]] WireResult wireRecvVerb(int fd, Verb* out);
// Writes all `count` bytes. Returns true when all were written.
[[nodiscard]] bool wireWriteAll(int fd, const unsigned char* bytes, size_t count);
// Reads and discards until the client closes or goes idle; returns the number of bytes dropped.
size_t wireDrainUntilClosed(int fd);

// A zero-filled verb of `length` bytes (at least 4) with its normal header filled in.
[[nodiscard]] std::vector<unsigned char> makeVerb(unsigned char code, uint16_t length);
