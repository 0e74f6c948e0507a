// CBC deciphering of many blocks at once: the cipher bitsliced, each block one bit lane of a set of
// words, the S-boxes Boolean circuits over whole words. A word of 64 bits carries 64 blocks, a
// 128-bit vector 128, a 256-bit vector, where the processor runs it, 256. With fewer lanes than
// 128 the bitsliced rounds are no faster than the tables of the one-block cipher.
//
// Owns the bitsliced cipher and the choice of its width at run time. Only desCbc and the tests use
// it; it never enciphers and never handles a partial block.
#pragma once

#include <cstdint>

// Deciphers `blocks` whole blocks in place under the decryption subkey words `keys` (32 words, a
// schedule's third part): block i becomes D(block i) XOR C(i - 1), where C(-1) is the 8 bytes at
// `chain` (the ciphertext before the group, or the IV). The last block is written first, so each
// predecessor is still ciphertext when it is used.
using DesSliceDecipher = void (*)(const uint32_t* keys, const unsigned char* chain,
                                  unsigned char* blocks);

struct DesSlicePath {
    uint32_t blocks;  // blocks deciphered per call
    DesSliceDecipher decipher;
};

// The 64-bit path, which every machine runs.
DesSlicePath desSlicePortable();
// The path of the vector unit every machine of this kind has: 128 blocks on SSE2 or NEON, else the
// 64-bit path.
DesSlicePath desSliceBase();
// The widest path this processor runs (the portable one where nothing wider is built or present).
DesSlicePath desSliceWidest();
