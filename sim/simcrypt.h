// The simulator's use of the program's DES: its password key, CBC over whole buffers, and its own
// challenges.
//
// Owns nothing beyond one call: every key schedule is made and released inside the function that
// needs it, and key bytes on the stack are wiped before returning. Never logs key material.
#pragma once

#include <cstddef>
#include <string>

inline constexpr size_t kDesKeyBytes = 8;

// Derives the password key the proxy derives: the password upper-cased, converted to EBCDIC when
// the simulator works in EBCDIC, through desDeriveKey. Returns false when the cipher is out of
// memory.
[[nodiscard]] bool simPasswordKey(const std::string& password, bool ebcdic,
                                  unsigned char out[kDesKeyBytes]);
// Transforms `count` bytes in place with CBC under `key` and the fixed IV, the tail rule included.
// `direction` is DES_ENCIPHER or DES_DECIPHER. Returns false when no schedule could be made.
[[nodiscard]] bool simCbc(const unsigned char key[kDesKeyBytes], int direction,
                          unsigned char* bytes, size_t count);
// Fills `out` with 8 bytes from the system's random source: the server's own challenge.
void simChallenge(unsigned char out[kDesKeyBytes]);
// The text as the proxy converts it for an EBCDIC server (a copy; the original stays ASCII).
[[nodiscard]] std::string simEbcdic(const std::string& text);
