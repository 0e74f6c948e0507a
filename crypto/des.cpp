// The key schedule, the block cipher and CBC over whole buffers with the tail rule.
#include "crypto/des.h"

#include <array>
#include <cstring>
#include <initializer_list>
#include <new>
#include <utility>

#include "common/byteorder.h"
#include "common/platform.h"
#include "crypto/des_bitslice.h"
#include "crypto/des_fips.h"

namespace {

constexpr int kKeyBitWords = desfips::kKeyBits;
constexpr int kEncipherWords = kKeyBitWords;
constexpr int kDecipherWords = kKeyBitWords + desfips::kSubkeyWords;

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

// The S-box/P tables by whole byte of the round input: a field sits in the high six bits of its
// byte, and each entry stands four times, for every value of the two bits below it. The round
// then need not clear those bits (an AND on the path from one round to the next), for 8 KiB of
// tables instead of 2.
constexpr std::array<std::array<uint32_t, 256>, 8> makeSpByByte() {
    std::array<std::array<uint32_t, 256>, 8> tables{};
    for (int k = 0; k < 8; ++k) {
        for (int b = 0; b < 256; ++b) tables[k][b] = kSpTables[k][b >> 2];
    }
    return tables;
}
alignas(64) constexpr auto kSpByByte = makeSpByByte();

// Keeps the compiler from regrouping a sum of table entries. Left alone it adds the eight
// entries of a round one after another, which puts eight steps between the last look-up and the
// next round where a sum taken pairwise needs three (enciphering, which waits for every round,
// is 4 % faster).
inline uint32_t grouped(uint32_t sum) {
#if defined(__GNUC__)
    asm("" : "+r"(sum));
#endif
    return sum;
}

// The round function of a rotated right half under the subkey pair a, b.
inline uint32_t roundFunction(uint32_t right, uint32_t a, uint32_t b) {
    const uint32_t x = a ^ right;
    const uint32_t y = b ^ rotateLeft(right, 4);
    const uint32_t odd = grouped(grouped(kSpByByte[0][x >> 24] ^ kSpByByte[2][(x >> 16) & 0xff]) ^
                                 grouped(kSpByByte[4][(x >> 8) & 0xff] ^ kSpByByte[6][x & 0xff]));
    const uint32_t even = grouped(grouped(kSpByByte[1][y >> 24] ^ kSpByByte[3][(y >> 16) & 0xff]) ^
                                  grouped(kSpByByte[5][(y >> 8) & 0xff] ^ kSpByByte[7][y & 0xff]));
    return odd ^ even;
}

// The sixteen rounds on halves already through the initial permutation, two rounds per step. The
// halves change places after the last round, so on return they are ready for the final one.
template <int lanes>
inline void sixteenRounds(const uint32_t* subkeys, uint32_t (&left)[lanes],
                          uint32_t (&right)[lanes]) {
    for (int step = 0; step < 8; ++step) {
        const uint32_t* k = subkeys + 4 * step;
        for (int j = 0; j < lanes; ++j) left[j] ^= roundFunction(right[j], k[0], k[1]);
        for (int j = 0; j < lanes; ++j) right[j] ^= roundFunction(left[j], k[2], k[3]);
    }
    for (int j = 0; j < lanes; ++j) std::swap(left[j], right[j]);
}

// One block through the whole cipher.
inline void cipherBlock(const uint32_t* subkeys, unsigned char* block) {
    uint32_t left[1] = {getU32BE(block)};
    uint32_t right[1] = {getU32BE(block + 4)};
    initialPermutation(left[0], right[0]);
    sixteenRounds<1>(subkeys, left, right);
    finalPermutation(left[0], right[0]);
    putU32BE(block, left[0]);
    putU32BE(block + 4, right[0]);
}

// XORs the tail bytes with the first bytes of E(chain).
void cipherTail(const uint32_t* encipherKeys, const unsigned char* chain, unsigned char* tail,
                uint32_t count) {
    unsigned char stream[kDesBlockSize];
    std::memcpy(stream, chain, kDesBlockSize);
    cipherBlock(encipherKeys, stream);
    for (uint32_t k = 0; k < count; ++k) tail[k] ^= stream[k];
}

// The initial permutation is linear and undoes the final one, so the chaining value is kept as it
// leaves the rounds: IP(P xor C) = IP(P) xor (rounds' output). Neither permutation then lies on the
// chain from one block to the next.
void encipherBuffer(const uint32_t* keys, const unsigned char* iv, unsigned char* buffer,
                    uint32_t whole, uint32_t tail) {
    uint32_t chainLeft = getU32BE(iv);
    uint32_t chainRight = getU32BE(iv + 4);
    initialPermutation(chainLeft, chainRight);
    for (uint32_t at = 0; at < whole; at += kDesBlockSize) {
        unsigned char* block = buffer + at;
        uint32_t left[1] = {getU32BE(block)};
        uint32_t right[1] = {getU32BE(block + 4)};
        initialPermutation(left[0], right[0]);
        left[0] ^= chainLeft;
        right[0] ^= chainRight;
        sixteenRounds<1>(keys, left, right);
        chainLeft = left[0];
        chainRight = right[0];
        finalPermutation(left[0], right[0]);
        putU32BE(block, left[0]);
        putU32BE(block + 4, right[0]);
    }
    if (tail > 0) {
        cipherTail(keys, whole > 0 ? buffer + whole - kDesBlockSize : iv, buffer + whole, tail);
    }
}

// Deciphers the `lanes` blocks at `blocks`; the ciphertext before them is `chain`. CBC
// deciphering has no chain between blocks, so the rounds of several blocks interleave and the
// table look-ups of one overlap those of the others.
template <int lanes>
inline void decipherGroup(const uint32_t* keys, const unsigned char* chain, unsigned char* blocks) {
    uint32_t left[lanes];
    uint32_t right[lanes];
    for (int j = 0; j < lanes; ++j) {
        left[j] = getU32BE(blocks + kDesBlockSize * j);
        right[j] = getU32BE(blocks + kDesBlockSize * j + 4);
        initialPermutation(left[j], right[j]);
    }
    sixteenRounds<lanes>(keys, left, right);
    // The last block is written first, so that each predecessor is still ciphertext when used.
    for (int j = lanes - 1; j >= 0; --j) {
        finalPermutation(left[j], right[j]);
        unsigned char* block = blocks + kDesBlockSize * j;
        const unsigned char* prev = j > 0 ? block - kDesBlockSize : chain;
        putU32BE(block, left[j] ^ getU32BE(prev));
        putU32BE(block + 4, right[j] ^ getU32BE(prev + 4));
    }
}

// Blocks deciphered together. On x86-64 six measured faster than two, three, four and eight: enough
// to hide the latency of the table look-ups, few enough that the halves mostly stay in registers.
constexpr uint32_t kDecipherLanes = 6;

void decipherBuffer(const uint32_t* keys, const uint32_t* encipherKeys, const unsigned char* iv,
                    unsigned char* buffer, uint32_t whole, uint32_t tail) {
    // The tail first, while the last whole block is still ciphertext.
    if (tail > 0) {
        cipherTail(encipherKeys, whole > 0 ? buffer + whole - kDesBlockSize : iv, buffer + whole,
                   tail);
    }
    // Then from the last block to the first, so that each predecessor is used before it changes:
    // as many blocks as possible bitsliced, the widest way first, the rest through the tables.
    // (The base path may be the widest; the second loop then finds too few blocks left.)
    uint32_t at = whole;
    for (const DesSlicePath& path : {desSliceWidest(), desSliceBase()}) {
        const uint32_t pathBytes = path.blocks * kDesBlockSize;
        for (; at >= pathBytes; at -= pathBytes) {
            unsigned char* group = buffer + at - pathBytes;
            path.decipher(keys, at > pathBytes ? group - kDesBlockSize : iv, group);
        }
    }
    constexpr uint32_t groupBytes = kDecipherLanes * kDesBlockSize;
    for (; at >= groupBytes; at -= groupBytes) {
        unsigned char* group = buffer + at - groupBytes;
        decipherGroup<kDecipherLanes>(keys, at > groupBytes ? group - kDesBlockSize : iv, group);
    }
    for (; at > 0; at -= kDesBlockSize) {
        unsigned char* block = buffer + at - kDesBlockSize;
        decipherGroup<1>(keys, at > kDesBlockSize ? block - kDesBlockSize : iv, block);
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
    for (int b = 0; b < kDesBlockSize; ++b) {
        for (int j = 0; j < 7; ++j) words[7 * b + j] = (bytes[b] >> (7 - j)) & 1;
    }
    // C and D through permuted choice 1 a key byte at a time, then for each round the rotations and
    // permuted choice 2 seven bits at a time.
    uint64_t cd = 0;
    for (int b = 0; b < kDesBlockSize; ++b) cd |= desfips::kPc1ByByte[b][bytes[b] >> 1];
    constexpr uint32_t kHalf = 0xfffffff;
    auto c = static_cast<uint32_t>(cd >> 28);
    auto d = static_cast<uint32_t>(cd) & kHalf;
#pragma GCC unroll 16
    for (int round = 0; round < 16; ++round) {
        const int n = desfips::kRotations[round];
        c = ((c << n) | (c >> (28 - n))) & kHalf;
        d = ((d << n) | (d >> (28 - n))) & kHalf;
        const uint64_t rotated = (uint64_t{c} << 28) | d;
        uint32_t first = 0;
        uint32_t second = 0;
        for (int chunk = 0; chunk < 8; ++chunk) {
            const desfips::SubkeyPair& part =
                desfips::kPc2ByChunk[chunk][(rotated >> (49 - 7 * chunk)) & 127];
            first |= part.first;
            second |= part.second;
        }
        words[kEncipherWords + 2 * round] = first;
        words[kEncipherWords + 2 * round + 1] = second;
        words[kDecipherWords + 2 * (15 - round)] = first;
        words[kDecipherWords + 2 * (15 - round) + 1] = second;
    }
    osWipe(bytes, sizeof bytes);
}

void desFreeKey(DesKeySchedule* schedule) {
    if (schedule == nullptr) return;
    osWipe(schedule, sizeof *schedule);  // the key bits and every subkey
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
