// The authentication handshake that ends the session set-up: both sides prove they hold the same
// administrator password without sending it, and agree on the DES session key that enciphers the
// command and the page.
//
// Owns the layout of the four authentication messages. Never sends or traces the password or a
// key; wipes the password key and the challenges when the handshake is over.
#pragma once

#include <cstdint>

#include "session/smsess.h"

inline constexpr uint32_t kAuthMessageSize = 24;
inline constexpr uint32_t kAuthDataSize = 16;      // two enciphered 8-byte blocks
inline constexpr uint32_t kAuthDataStart = 8;      // data offset 0 means right here
inline constexpr uint32_t kAuthResultOffset = 11;  // byte of the final answer that says yes
inline constexpr unsigned char kAuthAccepted = 1;

// Runs the four messages over the session. Returns 0 when the server accepted the proxy (the
// session key in the descriptor), 5 when the server's answer did not carry the proxy's challenge,
// 2 when no key schedule could be allocated, -1 on every other failure (a malformed answer ends
// the session with reason 5).
[[nodiscard]] int smAuthenticate(SessionDesc* session, const unsigned char* password,
                                 int32_t length);
