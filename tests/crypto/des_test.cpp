// The cipher against published known answers and against libcrypto as an independent oracle.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include "crypto/des.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <random>
#include <string>

#include "des_oracle.h"

namespace {

using testdes::Bytes;
using testdes::oracleCbc;
using testdes::Schedule;

Bytes hexBytes(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

Bytes randomBytes(std::mt19937& rng, size_t n) {
    Bytes out(n);
    for (auto& b : out) b = static_cast<unsigned char>(rng());
    return out;
}

Bytes runCbc(const Bytes& key, int32_t direction, const Bytes& iv, Bytes data) {
    Schedule s(key.data());
    desCbc(s.s, direction, iv.data(), data.data(), static_cast<uint32_t>(data.size()));
    return data;
}

const Bytes kZeroIv(8, 0);

struct KnownAnswer {
    const char* key;
    const char* plain;
    const char* cipher;
};

// Single blocks from FIPS 46 worked examples and the NIST validation tables.
const KnownAnswer kKnownAnswers[] = {
    {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
    {"0123456789ABCDEF", "4E6F772069732074", "3FA40E8A984D4815"},
    {"0101010101010101", "8000000000000000", "95F8A5E5DD31D900"},
    {"0101010101010101", "0000000000000001", "166B40B44ABA4BD6"},
    {"8001010101010101", "0000000000000000", "95A8D72813DAA94D"},
    {"0101010101010102", "0000000000000000", "869EFD7F9F265A09"},
    {"0000000000000000", "0000000000000000", "8CA64DE9C1B123A7"},
};

TEST(DesCbc, KnownSingleBlocksWithZeroIv) {
    for (const auto& k : kKnownAnswers) {
        SCOPED_TRACE(k.key);
        const Bytes key = hexBytes(k.key);
        EXPECT_EQ(runCbc(key, DES_ENCIPHER, kZeroIv, hexBytes(k.plain)), hexBytes(k.cipher));
        EXPECT_EQ(runCbc(key, DES_DECIPHER, kZeroIv, hexBytes(k.cipher)), hexBytes(k.plain));
    }
}

TEST(DesCbc, MatchesOracleForRandomKeysIvsAndLengths) {
    std::mt19937 rng(20240611);
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 64; ++n) lengths.push_back(n);
    for (size_t n : {1001u, 4099u, 65537u, 100003u}) lengths.push_back(n);
    for (size_t n : lengths) {
        for (int trial = 0; trial < 4; ++trial) {
            SCOPED_TRACE("length " + std::to_string(n));
            const Bytes key = randomBytes(rng, 8);
            const Bytes iv = randomBytes(rng, 8);
            const Bytes data = randomBytes(rng, n);
            EXPECT_EQ(runCbc(key, DES_ENCIPHER, iv, data),
                      oracleCbc(key.data(), false, iv.data(), data));
            EXPECT_EQ(runCbc(key, DES_DECIPHER, iv, data),
                      oracleCbc(key.data(), true, iv.data(), data));
        }
    }
}

TEST(DesCbc, ShortBufferIsAStreamOverTheIv) {
    std::mt19937 rng(11);
    const Bytes key = randomBytes(rng, 8);
    const Bytes iv = randomBytes(rng, 8);
    unsigned char stream[8];
    testdes::oracleEncipherBlock(key.data(), iv.data(), stream);
    for (size_t n = 1; n < 8; ++n) {
        const Bytes plain = randomBytes(rng, n);
        const Bytes once = runCbc(key, DES_ENCIPHER, iv, plain);
        for (size_t i = 0; i < n; ++i) EXPECT_EQ(once[i], plain[i] ^ stream[i]);
        EXPECT_EQ(runCbc(key, DES_ENCIPHER, iv, once), plain);
        EXPECT_EQ(runCbc(key, DES_DECIPHER, iv, plain), once);
    }
}

TEST(DesCbc, LeavesEmptyBufferAndIvAlone) {
    const Bytes key = hexBytes("0123456789ABCDEF");
    Bytes iv = hexBytes("1122334455667788");
    const Bytes ivBefore = iv;
    unsigned char guard[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    Schedule s(key.data());
    desCbc(s.s, DES_ENCIPHER, iv.data(), guard, 0);
    desCbc(s.s, DES_DECIPHER, iv.data(), guard, 0);
    EXPECT_EQ(guard[0], 0xAA);
    Bytes data(21, 0x5C);
    desCbc(s.s, DES_ENCIPHER, iv.data(), data.data(), 21);
    desCbc(s.s, DES_DECIPHER, iv.data(), data.data(), 21);
    EXPECT_EQ(iv, ivBefore);
    EXPECT_EQ(data, Bytes(21, 0x5C));
}

TEST(DesCbc, EveryDirectionButOneEnciphers) {
    std::mt19937 rng(17);
    const Bytes key = randomBytes(rng, 8);
    const Bytes iv = randomBytes(rng, 8);
    const Bytes data = randomBytes(rng, 27);
    const Bytes expected = runCbc(key, DES_ENCIPHER, iv, data);
    for (int32_t direction : {2, -1, INT32_MAX, INT32_MIN}) {
        EXPECT_EQ(runCbc(key, direction, iv, data), expected) << direction;
    }
}

TEST(DesCbc, IgnoresParityBits) {
    std::mt19937 rng(19);
    const Bytes iv = randomBytes(rng, 8);
    const Bytes data = randomBytes(rng, 35);
    for (int trial = 0; trial < 8; ++trial) {
        Bytes key = randomBytes(rng, 8);
        Bytes flipped = key;
        for (auto& b : flipped) b ^= static_cast<unsigned char>(rng() & 1);
        EXPECT_EQ(runCbc(key, DES_ENCIPHER, iv, data), runCbc(flipped, DES_ENCIPHER, iv, data));
    }
}

TEST(DesSchedule, HoldsKeyBitsThenSubkeysThenSubkeysReversed) {
    const Bytes key = hexBytes("133457799BBCDFF1");
    Schedule s(key.data());
    for (int i = 0; i < 56; ++i) {
        const unsigned bit = (key[i / 7] >> (7 - i % 7)) & 1;
        EXPECT_EQ(s.s->words[i] != 0, bit != 0) << i;
    }
    for (int round = 0; round < 16; ++round) {
        for (int half = 0; half < 2; ++half) {
            const uint32_t enc = s.s->words[56 + 2 * round + half];
            EXPECT_EQ(enc & 0x03030303u, 0u);
            EXPECT_EQ(s.s->words[88 + 2 * (15 - round) + half], enc);
        }
    }
}

TEST(DesSchedule, SetKeyRekeysInPlace) {
    std::mt19937 rng(23);
    const Bytes first = randomBytes(rng, 8);
    const Bytes second = randomBytes(rng, 8);
    Schedule reused(first.data());
    Schedule fresh(second.data());
    uint32_t words[2];
    testdes::keyWords(second.data(), words);
    desSetKey(reused.s, words);
    EXPECT_EQ(std::memcmp(reused.s->words, fresh.s->words, sizeof fresh.s->words), 0);
    desFreeKey(nullptr);
}

}  // namespace
