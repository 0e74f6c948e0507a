// DES (FIPS 46) in CBC mode over whole buffers, with a rule for a final partial block, and the two
// routines beside it: key derivation from a text and a random block for key material.
//
// Owns the fixed key and the fixed IV of the program. Every function works on caller buffers; a key
// schedule has one owner, who releases it with desFreeKey. Never allocates per block, never writes
// outside the buffer it is given, never reads the IV it is given for writing.
#pragma once

#include <cstdint>

inline constexpr int32_t DES_ENCIPHER = 0;
inline constexpr int32_t DES_DECIPHER = 1;
inline constexpr int kDesBlockSize = 8;
inline constexpr int kDesScheduleWords = 120;

// 56 key-bit words (working space), 32 encryption subkey words, 32 decryption subkey words.
struct DesKeySchedule {
    uint32_t words[kDesScheduleWords];
};

// Allocates and fills a schedule for `key` (two words holding key bytes 0-3 and 4-7 as they lie in
// memory). Returns 0, or -1 when there is no memory (then *out is not written).
[[nodiscard]] int desAllocKey(const uint32_t key[2], DesKeySchedule** out);
// Refills `schedule` in place for a new key.
void desSetKey(DesKeySchedule* schedule, const uint32_t key[2]);
// Releases a schedule made by desAllocKey; null is allowed.
void desFreeKey(DesKeySchedule* schedule);
// Transforms `length` bytes of `buffer` in place: DES_DECIPHER deciphers, any other direction
// enciphers. `iv` (8 bytes) is only read.
void desCbc(const DesKeySchedule* schedule, int32_t direction, const unsigned char iv[8],
            unsigned char* buffer, uint32_t length);
// Derives an 8-byte value from `length` (>= 1) bytes of `text`. Returns 0, or -1 when there is no
// memory (then out is not written).
[[nodiscard]] int desDeriveKey(const unsigned char* text, int32_t length, unsigned char out[8]);
// Fills `out` with 8 bytes from the operating system's secure generator. Returns 0, or -1 when
// the generator fails (then out is not written).
[[nodiscard]] int desRandomBlock(unsigned char out[8]);

// The IV of every desCbc call in the program (8 bytes).
const unsigned char* desFixedIv();
// The fixed key as the two key words.
void desFixedKeyWords(uint32_t out[2]);
