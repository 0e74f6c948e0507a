// The bitsliced DES decipher over a word type W of 64-bit lanes: W is uint64_t, or a vector of such
// lanes. Each lane carries 64 blocks, block b in its bit 63 - b.
//
// Owns the transposition into and out of bit lanes and the bitsliced rounds. Everything here has
// internal linkage: the file is compiled once per instruction set, and no copy of it may stand in
// for another.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "crypto/des_circuits.h"
#include "crypto/des_fips.h"

namespace {

#define SLICE_INLINE __attribute__((always_inline)) inline

// Where each bit of the S-boxes' 32 outputs goes through permutation P.
constexpr std::array<uint8_t, 32> makePInverse() {
    std::array<uint8_t, 32> inverse{};
    for (int i = 0; i < 32; ++i) inverse[desfips::kPermutationP[i] - 1] = static_cast<uint8_t>(i);
    return inverse;
}
constexpr auto kPInverse = makePInverse();

template <typename W>
SLICE_INLINE W sliceSplat(uint64_t value) {
    return W{} | value;
}

// Transposes 64 rows of 64 bits in every lane: bit c (from the most significant) of row r
// changes places with bit r of row c.
template <typename W>
SLICE_INLINE void transpose64(W* rows) {
    uint64_t mask = 0x00000000ffffffffull;
    for (int j = 32; j != 0; j >>= 1, mask ^= mask << j) {
        for (int k = 0; k < 64; k = (k + j + 1) & ~j) {
            const W t = (rows[k] ^ (rows[k + j] >> j)) & mask;
            rows[k] ^= t;
            rows[k + j] ^= t << j;
        }
    }
}

template <typename W>
constexpr int kSliceLanes = sizeof(W) / sizeof(uint64_t);

uint64_t loadBlock(const unsigned char* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return __builtin_bswap64(v);
}

// Rows 0 to 63 of lane e are blocks 64e to 64e + 63 as big-endian numbers; after the transposition
// word i holds DES bit i + 1 of every block.
template <typename W>
SLICE_INLINE void loadSlices(const unsigned char* blocks, W* bits) {
    for (int b = 0; b < 64; ++b) {
        uint64_t lanes[kSliceLanes<W>];
        for (int e = 0; e < kSliceLanes<W>; ++e) lanes[e] = loadBlock(blocks + 8 * (64 * e + b));
        std::memcpy(&bits[b], lanes, sizeof(W));
    }
    transpose64(bits);
}

// The key bit of every S-box input of every round, as whole words of ones or zeros: subkey word
// 2r holds the groups of S-boxes 1, 3, 5, 7 of round r + 1, word 2r + 1 those of 2, 4, 6, 8, each
// group's first bit highest.
void sliceKeyMasks(const uint32_t* keys, uint64_t masks[16][48]) {
    for (int r = 0; r < 16; ++r) {
        for (int s = 0; s < 8; ++s) {
            const uint32_t word = keys[2 * r + (s & 1)];
            for (int k = 0; k < 6; ++k) {
                masks[r][6 * s + k] = 0 - uint64_t{(word >> (31 - 8 * (s >> 1) - k)) & 1};
            }
        }
    }
}

// One round: left ^= P(S(E(right) ^ subkey)).
template <typename W>
SLICE_INLINE void sliceRound(const W* right, W* left, const uint64_t* mask) {
    W x[48];
    W y[32];
#pragma GCC unroll 48
    for (int i = 0; i < 48; ++i) x[i] = right[desfips::kExpansion[i] - 1] ^ sliceSplat<W>(mask[i]);
    desSboxCircuits(x, y);
#pragma GCC unroll 32
    for (int q = 0; q < 32; ++q) left[kPInverse[q]] ^= y[q];
}

// Deciphers 64 blocks per lane in place; see DesSliceDecipher.
template <typename W>
void sliceDecipher(const uint32_t* keys, const unsigned char* chain, unsigned char* blocks) {
    uint64_t masks[16][48];
    sliceKeyMasks(keys, masks);
    W bits[64];
    loadSlices(blocks, bits);
    W left[32];
    W right[32];
    for (int i = 0; i < 32; ++i) {
        left[i] = bits[desfips::kInitialPermutation[i] - 1];
        right[i] = bits[desfips::kInitialPermutation[32 + i] - 1];
    }
    for (int r = 0; r < 16; r += 2) {
        sliceRound(right, left, masks[r]);
        sliceRound(left, right, masks[r + 1]);
    }
    // The output is R16 L16 through the final permutation, the inverse of the initial one.
    for (int i = 0; i < 32; ++i) {
        bits[desfips::kInitialPermutation[i] - 1] = right[i];
        bits[desfips::kInitialPermutation[32 + i] - 1] = left[i];
    }
    transpose64(bits);
    constexpr int count = 64 * kSliceLanes<W>;
    for (int n = count - 1; n >= 0; --n) {
        uint64_t lanes[kSliceLanes<W>];
        std::memcpy(lanes, &bits[n % 64], sizeof(W));
        unsigned char* block = blocks + 8 * n;
        uint64_t prev;
        std::memcpy(&prev, n > 0 ? block - 8 : chain, sizeof prev);
        const uint64_t plain = __builtin_bswap64(lanes[n / 64]) ^ prev;
        std::memcpy(block, &plain, sizeof plain);
    }
}

#undef SLICE_INLINE

}  // namespace
