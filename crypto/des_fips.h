// The DES definitions of FIPS 46 as the standard prints them, and the working tables of the cipher
// generated from them while compiling.
//
// Owns the permutation, S-box and key-schedule definitions, the eight combined S-box/P tables and
// the key schedule's tables of the two permuted choices. Holds no state; never used outside the
// cipher and its tests.
#pragma once

#include <array>
#include <cstdint>

namespace desfips {

// Bit numbers as the standard writes them: bit 1 is the most significant bit of byte 0.
inline constexpr std::array<uint8_t, 64> kInitialPermutation = {
    58, 50, 42, 34, 26, 18, 10, 2,  60, 52, 44, 36, 28, 20, 12, 4,  62, 54, 46, 38, 30, 22,
    14, 6,  64, 56, 48, 40, 32, 24, 16, 8,  57, 49, 41, 33, 25, 17, 9,  1,  59, 51, 43, 35,
    27, 19, 11, 3,  61, 53, 45, 37, 29, 21, 13, 5,  63, 55, 47, 39, 31, 23, 15, 7};

inline constexpr std::array<uint8_t, 48> kExpansion = {
    32, 1,  2,  3,  4,  5,  4,  5,  6,  7,  8,  9,  8,  9,  10, 11, 12, 13, 12, 13, 14, 15, 16, 17,
    16, 17, 18, 19, 20, 21, 20, 21, 22, 23, 24, 25, 24, 25, 26, 27, 28, 29, 28, 29, 30, 31, 32, 1};

inline constexpr std::array<uint8_t, 32> kPermutationP = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23,
                                                          26, 5, 18, 31, 10, 2,  8,  24, 14, 32, 27,
                                                          3,  9, 19, 13, 30, 6,  22, 11, 4,  25};

// S-box k, row r (first and last input bit), column c (middle four bits): kSBoxes[k][16 * r + c].
inline constexpr uint8_t kSBoxes[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8, 3, 10, 6, 12, 5,  9,  0,  7,  0,  15, 7,  4,  14, 2,
     13, 1,  10, 6, 12, 11, 9,  5, 3, 8,  4, 1,  14, 8,  13, 6,  2,  11, 15, 12, 9,  7,
     3,  10, 5,  0, 15, 12, 8,  2, 4, 9,  1, 7,  5,  11, 3,  14, 10, 0,  6,  13},
    {15, 1,  8,  14, 6,  11, 3,  4, 9,  7,  2, 13, 12, 0,  5,  10, 3,  13, 4,  7, 15, 2,
     8,  14, 12, 0,  1,  10, 6,  9, 11, 5,  0, 14, 7,  11, 10, 4,  13, 1,  5,  8, 12, 6,
     9,  3,  2,  15, 13, 8,  10, 1, 3,  15, 4, 2,  11, 6,  7,  12, 0,  5,  14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7, 11, 4,  2,  8,  13, 7, 0,  9, 3, 4,
     6,  10, 2,  8,  5, 14, 12, 11, 15, 1,  13, 6, 4,  9,  8,  15, 3,  0, 11, 1, 2, 12,
     5,  10, 14, 7,  1, 10, 13, 0,  6,  9,  8,  7, 4,  15, 14, 3,  11, 5, 2,  12},
    {7, 13, 14, 3, 0, 6,  9, 10, 1,  2, 8,  5, 11, 12, 4,  15, 13, 8,  11, 5, 6, 15,
     0, 3,  4,  7, 2, 12, 1, 10, 14, 9, 10, 6, 9,  0,  12, 11, 7,  13, 15, 1, 3, 14,
     5, 2,  8,  4, 3, 15, 0, 6,  10, 1, 13, 8, 9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4, 1,  7,  10, 11, 6, 8, 5,  3, 15, 13, 0,  14, 9,  14, 11, 2,  12, 4,  7,
     13, 1,  5, 0,  15, 10, 3,  9, 8, 6,  4, 2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,
     6,  3,  0, 14, 11, 8,  12, 7, 1, 14, 2, 13, 6,  15, 0,  9,  10, 4,  5,  3},
    {12, 1,  10, 15, 9,  2,  6, 8,  0, 13, 3,  4,  14, 7,  5, 11, 10, 15, 4, 2, 7, 12,
     9,  5,  6,  1,  13, 14, 0, 11, 3, 8,  9,  14, 15, 5,  2, 8,  12, 3,  7, 0, 4, 10,
     1,  13, 11, 6,  4,  3,  2, 12, 9, 5,  15, 10, 11, 14, 1, 7,  6,  0,  8, 13},
    {4, 11, 2,  14, 15, 0,  8,  13, 3, 12, 9,  7, 5,  10, 6,  1,  13, 0,  11, 7,  4, 9,
     1, 10, 14, 3,  5,  12, 2,  15, 8, 6,  1,  4, 11, 13, 12, 3,  7,  14, 10, 15, 6, 8,
     0, 5,  9,  2,  6,  11, 13, 8,  1, 4,  10, 7, 9,  5,  0,  15, 14, 2,  3,  12},
    {13, 2, 8,  4, 6, 15, 11, 1,  10, 9,  3, 14, 5,  0,  12, 7,  1,  15, 13, 8, 10, 3,
     7,  4, 12, 5, 6, 11, 0,  14, 9,  2,  7, 11, 4,  1,  9,  12, 14, 2,  0,  6, 10, 13,
     15, 3, 5,  8, 2, 1,  14, 7,  4,  10, 8, 13, 15, 12, 9,  0,  3,  5,  6,  11}};

// Permuted choice 1: key bits (1 to 64, parity bits 8, 16, ... never appear) into C and D.
inline constexpr std::array<uint8_t, 56> kPermutedChoice1 = {
    57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18, 10, 2,  59, 51, 43,
    35, 27, 19, 11, 3,  60, 52, 44, 36, 63, 55, 47, 39, 31, 23, 15, 7,  62, 54,
    46, 38, 30, 22, 14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

// Permuted choice 2: bits of the rotated C and D (1 to 56) into the 48-bit round subkey.
inline constexpr std::array<uint8_t, 48> kPermutedChoice2 = {
    14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,
    41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

inline constexpr std::array<uint8_t, 16> kRotations = {1, 1, 2, 2, 2, 2, 2, 2,
                                                       1, 2, 2, 2, 2, 2, 2, 1};

inline constexpr int kKeyBits = 56;
inline constexpr int kSubkeyWords = 32;

constexpr uint32_t rotateRight(uint32_t v, int n) {
    return (v >> n) | (v << (32 - n));
}
constexpr uint32_t rotateLeft(uint32_t v, int n) {
    return (v << n) | (v >> (32 - n));
}

// Value of bit `bit` (1 = most significant) of a 32-bit word, as a mask.
constexpr uint32_t bitMask(int bit) {
    return uint32_t{1} << (32 - bit);
}

// Entry i of table k: S-box k's output for input i at its four output positions, through P, rotated
// right by one bit (the cipher keeps both halves in that rotated form).
constexpr std::array<std::array<uint32_t, 64>, 8> makeSpTables() {
    std::array<std::array<uint32_t, 64>, 8> tables{};
    for (int k = 0; k < 8; ++k) {
        for (int i = 0; i < 64; ++i) {
            const int row = ((i >> 4) & 2) | (i & 1);
            const int column = (i >> 1) & 15;
            const uint32_t placed = uint32_t{kSBoxes[k][16 * row + column]} << (28 - 4 * k);
            uint32_t permuted = 0;
            for (int j = 0; j < 32; ++j) {
                if (placed & bitMask(kPermutationP[j])) permuted |= bitMask(j + 1);
            }
            tables[k][i] = rotateRight(permuted, 1);
        }
    }
    return tables;
}

// Permuted choice 1 by key byte: entry [b][v] holds the bits of C (bits 55 to 28, its first bit
// highest) and D (bits 27 to 0) that key byte b gives when its seven key bits (the parity bit
// dropped) are v.
constexpr std::array<std::array<uint64_t, 128>, 8> makePc1ByByte() {
    std::array<std::array<uint64_t, 128>, 8> table{};
    for (int b = 0; b < 8; ++b) {
        for (int v = 0; v < 128; ++v) {
            for (int j = 0; j < kKeyBits; ++j) {
                const int bit = kPermutedChoice1[j] - 1;  // 0 is the first bit of byte 0
                if (bit / 8 == b && ((v >> (6 - bit % 8)) & 1) != 0) {
                    table[b][v] |= uint64_t{1} << (55 - j);
                }
            }
        }
    }
    return table;
}

// The two subkey words of a round (S-boxes 1, 3, 5, 7, then 2, 4, 6, 8).
struct SubkeyPair {
    uint32_t first = 0;
    uint32_t second = 0;
};

// Permuted choice 2 by chunks of seven bits of C and D (chunk 0 the first seven bits of C, chunk 7
// the last seven of D): entry [c][v] holds the subkey bits that chunk c gives when it is v, each
// S-box's group of six in the high bits of its byte.
constexpr std::array<std::array<SubkeyPair, 128>, 8> makePc2ByChunk() {
    std::array<std::array<SubkeyPair, 128>, 8> table{};
    for (int c = 0; c < 8; ++c) {
        for (int v = 0; v < 128; ++v) {
            for (int p = 0; p < 48; ++p) {
                const int from = kPermutedChoice2[p] - 1;
                if (from / 7 != c || ((v >> (6 - from % 7)) & 1) == 0) continue;
                const int sbox = p / 6;
                const uint32_t bit = uint32_t{1} << (31 - 8 * (sbox / 2) - p % 6);
                (sbox % 2 == 0 ? table[c][v].first : table[c][v].second) |= bit;
            }
        }
    }
    return table;
}

inline constexpr auto kSpTables = makeSpTables();
inline constexpr auto kPc1ByByte = makePc1ByByte();
inline constexpr auto kPc2ByChunk = makePc2ByChunk();

}  // namespace desfips
