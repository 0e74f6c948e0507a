// The key schedule, the block cipher and CBC over whole buffers with the tail rule.
#include "crypto/des.h"

#include <cstring>
#include <new>

#include "common/byteorder.h"
#include "crypto/des_fips.h"

namespace {

constexpr int kKeyBitWords = desfips::kKeyBits;
constexpr int kEncipherWords = kKeyBitWords;
constexpr int kDecipherWords = kKeyBitWords + desfips::kSubkeyWords;
constexpr uint32_t kFieldMask = 0xfcfcfcfc;

using desfips::kSpTables;
using desfips::rotateLeft;
using desfips::rotateRight;

// Masked exchange of the bits of `b` selected by `mask` with the bits of `a` `shift` places higher.
inline void exchange(uint32_t& a, uint32_t& b, int shift, uint32_t mask) {
    const uint32_t t = ((a >> shift) ^ b) & mask;
    b ^= t;
    a ^= t << shift;
}

// The initial permutation; leaves both halves rotated right by one bit.
inline void initialPermutation(uint32_t& left, uint32_t& right) {
    exchange(left, right, 4, 0x0f0f0f0f);
    exchange(left, right, 16, 0x0000ffff);
    exchange(right, left, 2, 0x33333333);
    exchange(right, left, 8, 0x00ff00ff);
    exchange(left, right, 1, 0x55555555);
    left = rotateRight(left, 1);
    right = rotateRight(right, 1);
}

// The final permutation (the inverse of the initial one), starting from the rotated halves.
inline void finalPermutation(uint32_t& left, uint32_t& right) {
    left = rotateLeft(left, 1);
    right = rotateLeft(right, 1);
    exchange(left, right, 1, 0x55555555);
    exchange(right, left, 8, 0x00ff00ff);
    exchange(right, left, 2, 0x33333333);
    exchange(left, right, 16, 0x0000ffff);
    exchange(left, right, 4, 0x0f0f0f0f);
}

// The round function of a rotated right half under the subkey pair a, b.
inline uint32_t roundFunction(uint32_t right, uint32_t a, uint32_t b) {
    const uint32_t x = a ^ (right & kFieldMask);
    const uint32_t y = b ^ (rotateLeft(right, 4) & kFieldMask);
    return kSpTables[0][x >> 26] ^ kSpTables[2][(x >> 18) & 0x3f] ^ kSpTables[4][(x >> 10) & 0x3f] ^
           kSpTables[6][(x >> 2) & 0x3f] ^ kSpTables[1][y >> 26] ^ kSpTables[3][(y >> 18) & 0x3f] ^
           kSpTables[5][(y >> 10) & 0x3f] ^ kSpTables[7][(y >> 2) & 0x3f];
}

// Sixteen rounds on a block held as two big-endian halves, two rounds per step.
inline void cipherHalves(const uint32_t* subkeys, uint32_t& left, uint32_t& right) {
    initialPermutation(left, right);
    for (int step = 0; step < 8; ++step) {
        const uint32_t* k = subkeys + 4 * step;
        left ^= roundFunction(right, k[0], k[1]);
        right ^= roundFunction(left, k[2], k[3]);
    }
    // The halves change places after the last round.
    finalPermutation(right, left);
    const uint32_t t = left;
    left = right;
    right = t;
}

inline void cipherBlock(const uint32_t* subkeys, unsigned char* block) {
    uint32_t left = getU32BE(block);
    uint32_t right = getU32BE(block + 4);
    cipherHalves(subkeys, left, right);
    putU32BE(block, left);
    putU32BE(block + 4, right);
}

// XORs the tail bytes with the first bytes of E(chain).
void cipherTail(const uint32_t* encipherKeys, const unsigned char* chain, unsigned char* tail,
                uint32_t count) {
    unsigned char stream[kDesBlockSize];
    std::memcpy(stream, chain, kDesBlockSize);
    cipherBlock(encipherKeys, stream);
    for (uint32_t k = 0; k < count; ++k) tail[k] ^= stream[k];
}

void encipherBuffer(const uint32_t* keys, const unsigned char* iv, unsigned char* buffer,
                    uint32_t whole, uint32_t tail) {
    uint32_t prevLeft = getU32BE(iv);
    uint32_t prevRight = getU32BE(iv + 4);
    for (uint32_t at = 0; at < whole; at += kDesBlockSize) {
        unsigned char* block = buffer + at;
        prevLeft ^= getU32BE(block);
        prevRight ^= getU32BE(block + 4);
        cipherHalves(keys, prevLeft, prevRight);
        putU32BE(block, prevLeft);
        putU32BE(block + 4, prevRight);
    }
    if (tail > 0)
        cipherTail(keys, whole > 0 ? buffer + whole - kDesBlockSize : iv, buffer + whole, tail);
}

void decipherBuffer(const uint32_t* keys, const uint32_t* encipherKeys, const unsigned char* iv,
                    unsigned char* buffer, uint32_t whole, uint32_t tail) {
    // The tail first, while the last whole block is still ciphertext.
    if (tail > 0) {
        cipherTail(encipherKeys, whole > 0 ? buffer + whole - kDesBlockSize : iv, buffer + whole,
                   tail);
    }
    // Then from the last block to the first, so that each predecessor is used before it changes.
    for (uint32_t at = whole; at > 0; at -= kDesBlockSize) {
        unsigned char* block = buffer + at - kDesBlockSize;
        const unsigned char* prev = at > kDesBlockSize ? block - kDesBlockSize : iv;
        uint32_t left = getU32BE(block);
        uint32_t right = getU32BE(block + 4);
        cipherHalves(keys, left, right);
        putU32BE(block, left ^ getU32BE(prev));
        putU32BE(block + 4, right ^ getU32BE(prev + 4));
    }
}

}  // namespace

int desAllocKey(const uint32_t key[2], DesKeySchedule** out) {
    auto* schedule = new (std::nothrow) DesKeySchedule;
    if (schedule == nullptr) return -1;
    desSetKey(schedule, key);
    *out = schedule;
    return 0;
}

void desSetKey(DesKeySchedule* schedule, const uint32_t key[2]) {
    unsigned char bytes[kDesBlockSize];
    std::memcpy(bytes, key, sizeof bytes);  // the words hold the key bytes as they lie in memory
    uint32_t* words = schedule->words;
    for (int i = 0; i < kKeyBitWords; ++i) words[i] = (bytes[i / 7] >> (7 - i % 7)) & 1;
    for (int w = 0; w < desfips::kSubkeyWords; ++w) {
        uint32_t subkey = 0;
        for (int p = 0; p < desfips::kBitsPerSubkeyWord; ++p) {
            if (words[desfips::kKeyRouting[w][p]] != 0) subkey |= desfips::kPositionMasks[p];
        }
        const int round = w / 2;
        words[kEncipherWords + w] = subkey;
        words[kDecipherWords + 2 * (15 - round) + w % 2] = subkey;
    }
}

void desFreeKey(DesKeySchedule* schedule) {
    delete schedule;
}

void desCbc(const DesKeySchedule* schedule, int32_t direction, const unsigned char iv[8],
            unsigned char* buffer, uint32_t length) {
    const uint32_t tail = length % kDesBlockSize;
    const uint32_t whole = length - tail;
    const uint32_t* encipherKeys = schedule->words + kEncipherWords;
    if (direction == DES_DECIPHER) {
        decipherBuffer(schedule->words + kDecipherWords, encipherKeys, iv, buffer, whole, tail);
    } else {
        encipherBuffer(encipherKeys, iv, buffer, whole, tail);
    }
}
