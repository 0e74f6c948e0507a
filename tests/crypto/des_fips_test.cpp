// The cipher's generated tables against the definitions they come from: the combined S-box/P
// tables and the key schedule's tables, each checked against a plain bit-by-bit reading of the
// definitions. (The definitions themselves and the masked-exchange permutations are checked by the
// known answers and the libcrypto oracle.)
#include "crypto/des_fips.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "crypto/des.h"

namespace {

using namespace desfips;

// Output bit i (1-based, most significant first) of `out` is input bit table[i-1] of `in`.
template <size_t n>
uint64_t permute(uint64_t in, int inBits, const std::array<uint8_t, n>& table) {
    uint64_t out = 0;
    for (uint8_t from : table) out = (out << 1) | ((in >> (inBits - from)) & 1);
    return out;
}

uint32_t referenceF(uint32_t right, uint64_t subkey) {
    const uint64_t mixed = permute(right, 32, kExpansion) ^ subkey;
    uint32_t sboxed = 0;
    for (int k = 0; k < 8; ++k) {
        const int six = static_cast<int>((mixed >> (42 - 6 * k)) & 0x3f);
        const int row = ((six >> 4) & 2) | (six & 1);
        sboxed = (sboxed << 4) | kSBoxes[k][16 * row + ((six >> 1) & 15)];
    }
    return static_cast<uint32_t>(permute(sboxed, 32, kPermutationP));
}

std::array<uint64_t, 16> referenceSubkeys(uint64_t key) {
    const uint64_t cd = permute(key, 64, kPermutedChoice1);
    uint32_t c = static_cast<uint32_t>(cd >> 28), d = static_cast<uint32_t>(cd & 0xfffffff);
    std::array<uint64_t, 16> subkeys{};
    for (int round = 0; round < 16; ++round) {
        for (int i = 0; i < kRotations[round]; ++i) {
            c = ((c << 1) | (c >> 27)) & 0xfffffff;
            d = ((d << 1) | (d >> 27)) & 0xfffffff;
        }
        subkeys[round] = permute((uint64_t{c} << 28) | d, 56, kPermutedChoice2);
    }
    return subkeys;
}

// The subkey word pair of a 48-bit subkey: groups of S-boxes 1, 3, 5, 7 and of 2, 4, 6, 8.
std::array<uint32_t, 2> subkeyWords(uint64_t subkey) {
    std::array<uint32_t, 2> words{};
    for (int k = 0; k < 8; ++k) {
        const auto six = static_cast<uint32_t>((subkey >> (42 - 6 * k)) & 0x3f);
        words[k % 2] |= six << (26 - 8 * (k / 2));
    }
    return words;
}

uint64_t bytesToWord(const unsigned char* b) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | b[i];
    return v;
}

TEST(DesTables, CombinedSBoxTablesGiveTheRoundFunction) {
    std::mt19937_64 rng(5);
    for (int trial = 0; trial < 20000; ++trial) {
        const auto right = static_cast<uint32_t>(rng());
        const uint64_t subkey = rng() & 0xffffffffffffull;
        const auto words = subkeyWords(subkey);
        const uint32_t rotated = rotateRight(right, 1);
        const uint32_t x = words[0] ^ (rotated & 0xfcfcfcfc);
        const uint32_t y = words[1] ^ (rotateLeft(rotated, 4) & 0xfcfcfcfc);
        uint32_t f = 0;
        for (int g = 0; g < 4; ++g) {
            f ^= kSpTables[2 * g][(x >> (26 - 8 * g)) & 0x3f];
            f ^= kSpTables[2 * g + 1][(y >> (26 - 8 * g)) & 0x3f];
        }
        ASSERT_EQ(rotateLeft(f, 1), referenceF(right, subkey)) << trial;
    }
}

// One schedule re-keyed for every key: the 56 key-bit words, then the subkeys in the documented
// word format, then the same subkeys in reverse round order for deciphering.
TEST(DesTables, KeyScheduleGivesTheStandardSubkeysInTheScheduleLayout) {
    std::mt19937_64 rng(6);
    DesKeySchedule schedule;
    for (int trial = 0; trial < 200; ++trial) {
        unsigned char key[8];
        for (auto& b : key) b = static_cast<unsigned char>(rng());
        uint32_t keyWords[2];
        std::memcpy(keyWords, key, 8);
        desSetKey(&schedule, keyWords);
        for (int i = 0; i < 56; ++i) {
            ASSERT_EQ(schedule.words[i] != 0, ((key[i / 7] >> (7 - i % 7)) & 1) != 0) << i;
        }
        const auto subkeys = referenceSubkeys(bytesToWord(key));
        for (int round = 0; round < 16; ++round) {
            const auto words = subkeyWords(subkeys[round]);
            for (int half = 0; half < 2; ++half) {
                ASSERT_EQ(schedule.words[56 + 2 * round + half], words[half]) << round;
                ASSERT_EQ(schedule.words[88 + 2 * (15 - round) + half], words[half]) << round;
            }
        }
    }
}

}  // namespace
