// The cipher against published known answers and against libcrypto as an independent oracle.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include "crypto/des.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <random>
#include <string>

#include "des_oracle.h"
#include "tests/support/released_memory.h"

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

// desCbc on a copy of `data` placed `offset` bytes into a buffer of its own.
Bytes runCbc(const Bytes& key, int32_t direction, const Bytes& iv, const Bytes& data,
             size_t offset = 0) {
    Schedule s(key.data());
    Bytes buffer(offset, 0);
    buffer.insert(buffer.end(), data.begin(), data.end());
    desCbc(s.s, direction, iv.data(), buffer.data() + offset, static_cast<uint32_t>(data.size()));
    return Bytes(buffer.begin() + static_cast<long>(offset), buffer.end());
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

// Lengths at and around the group sizes of the bitsliced decipher (128 and 256 blocks), tails
// included, at every alignment of the buffer.
TEST(DesCbc, MatchesOracleForRandomKeysIvsLengthsAndAlignments) {
    std::mt19937 rng(20240611);
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 64; ++n) lengths.push_back(n);
    for (size_t n : {1001u, 1023u, 1024u, 1031u, 2048u, 2565u, 4099u, 65537u, 100003u}) {
        lengths.push_back(n);
    }
    for (size_t n : lengths) {
        for (int trial = 0; trial < 4; ++trial) {
            SCOPED_TRACE("length " + std::to_string(n));
            const Bytes key = randomBytes(rng, 8);
            const Bytes iv = randomBytes(rng, 8);
            const Bytes data = randomBytes(rng, n);
            Bytes ivUsed = iv;
            EXPECT_EQ(runCbc(key, DES_ENCIPHER, ivUsed, data),
                      oracleCbc(key.data(), false, iv.data(), data));
            EXPECT_EQ(runCbc(key, DES_DECIPHER, ivUsed, data, static_cast<size_t>(trial) * 3 % 8),
                      oracleCbc(key.data(), true, iv.data(), data));
            EXPECT_EQ(ivUsed, iv) << "the IV is left alone";
        }
    }
}

// Only DES_DECIPHER deciphers, and the low bit of every key byte is parity, not key.
TEST(DesCbc, IgnoresParityBitsAndOtherDirectionValues) {
    std::mt19937 rng(17);
    const Bytes iv = randomBytes(rng, 8);
    const Bytes data = randomBytes(rng, 27);
    for (int32_t direction : {2, -1, INT32_MAX, INT32_MIN}) {
        const Bytes key = randomBytes(rng, 8);
        Bytes flipped = key;
        for (auto& b : flipped) b ^= static_cast<unsigned char>(rng() & 1);
        EXPECT_EQ(runCbc(flipped, direction, iv, data), runCbc(key, DES_ENCIPHER, iv, data))
            << direction;
    }
    desFreeKey(nullptr);
}

// A released key schedule, and the buffer a password key was derived in, leave no key behind.
TEST(DesKeys, ReleasedMemoryHoldsNoKey) {
    const uint32_t key[2] = {0x01234567, 0x89abcdef};
    DesKeySchedule* schedule = nullptr;
    ASSERT_EQ(desAllocKey(key, &schedule), 0);
    desFreeKey(schedule);
    if (auto left = leftInNextBlock(sizeof(DesKeySchedule), schedule)) {
        EXPECT_EQ(std::count(left->begin(), left->end(), 0), std::ssize(*left));
    }
    static const unsigned char kPassword[] = "A PASSWORD OF FORTY CHARACTERS, WHOLE!!";
    unsigned char derived[8];
    ASSERT_EQ(desDeriveKey(kPassword, 40, derived), 0);
    if (auto left = leftInNextBlock(40)) {
        EXPECT_EQ(std::search(left->begin(), left->end(), derived, derived + 8), left->end());
    }
}

}  // namespace
