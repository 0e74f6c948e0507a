// The first two exchanges of every session: Identify, which learns whether the server has the
// proxy capability and works in EBCDIC, and the proxy-session request, which names the
// administrator id the proxy acts under.
//
// Owns the layouts of those requests and of the parts of their answers that are read. Refuses an
// answer too short to hold the bytes read from it instead of reading stale staging-buffer bytes.
#pragma once

#include <cstdint>

#include "session/smsess.h"

inline constexpr uint32_t kIdentifyCharsetOffset = 5;
inline constexpr uint32_t kIdentifyCapabilityOffset = 44;
inline constexpr unsigned char kIdentifyEbcdic = 0x16;
inline constexpr unsigned char kCapabilityProxy = 0x02;
inline constexpr uint32_t kProxyStatusOffset = 8;
inline constexpr uint32_t kProxyRequestOverhead = 10;  // header, id offset, id length, spare byte

// Proxy-session answer statuses.
inline constexpr unsigned char kProxyAccepted = 0;
inline constexpr unsigned char kProxyPasswordExpired = 2;
inline constexpr unsigned char kProxyNoSuchAdmin = 3;
inline constexpr unsigned char kProxyAdminLocked = 11;
inline constexpr unsigned char kProxyServerNoMemory = 13;

// Returns 0 when the server supports the proxy agent (setting `ebcdic` from its answer), 10 when
// it does not (end-session verb sent, session ended), 2 when no usable answer came or memory ran
// out, -1 when the request could not be sent.
[[nodiscard]] int smIdentify(SessionDesc* session);

// Sends the proxy-session request for `idLength` bytes of `adminId`. Returns 0 when accepted
// (state 2), the result code mapped from the answer's status, or 2 on a local failure, a failed
// send or a missing or short answer.
[[nodiscard]] int smStartProxy(SessionDesc* session, const unsigned char* adminId,
                               int32_t idLength);
