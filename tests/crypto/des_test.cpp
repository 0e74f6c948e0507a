// The cipher against published known answers and against libcrypto as an independent oracle, every
// bitsliced width included; the schedule's documented layout; key derivation, the random block and
// the fixed values.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include "crypto/des.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "crypto/des_bitslice.h"
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

// Single blocks from FIPS 46 worked examples and the NIST validation tables: key, plain, cipher.
const char* const kKnownAnswers[][3] = {
    {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
    {"0123456789ABCDEF", "4E6F772069732074", "3FA40E8A984D4815"},
    {"0101010101010101", "8000000000000000", "95F8A5E5DD31D900"},
    {"0101010101010101", "0000000000000001", "166B40B44ABA4BD6"},
    {"8001010101010101", "0000000000000000", "95A8D72813DAA94D"},
    {"0101010101010102", "0000000000000000", "869EFD7F9F265A09"},
    {"0000000000000000", "0000000000000000", "8CA64DE9C1B123A7"},
};

TEST(DesCbc, KnownSingleBlocksWithZeroIv) {
    for (const auto& [key, plain, cipher] : kKnownAnswers) {
        SCOPED_TRACE(key);
        EXPECT_EQ(runCbc(hexBytes(key), DES_ENCIPHER, kZeroIv, hexBytes(plain)), hexBytes(cipher));
        EXPECT_EQ(runCbc(hexBytes(key), DES_DECIPHER, kZeroIv, hexBytes(cipher)), hexBytes(plain));
    }
}

// The worked example's key refills a schedule that held another: its 56 key-bit words, its
// published subkeys of rounds 1 and 16 in the subkey word format (S-boxes 1, 3, 5, 7 in the first
// word, 2, 4, 6, 8 in the second, six bits to a byte), and the pairs again in reverse round order.
TEST(DesKeys, ScheduleHoldsKeyBitsThenSubkeysThenReversedSubkeys) {
    const Bytes key = hexBytes("133457799BBCDFF1");
    uint32_t words[2];
    std::memcpy(words, key.data(), 8);
    DesKeySchedule schedule;
    std::fill(std::begin(schedule.words), std::end(schedule.words), 0xa5a5a5a5u);
    desSetKey(&schedule, words);
    for (int i = 0; i < 56; ++i) {
        EXPECT_EQ(schedule.words[i] != 0, ((key[i / 7] >> (7 - i % 7)) & 1) != 0) << i;
    }
    const uint32_t* encipher = schedule.words + 56;
    EXPECT_EQ(encipher[0], 0x182CFC04u);  // K1 = 000110 110000 001011 101111 ...
    EXPECT_EQ(encipher[1], 0xC0BC1CC8u);
    EXPECT_EQ(encipher[30], 0xC8D80C7Cu);  // K16 = 110010 110011 110110 001011 ...
    EXPECT_EQ(encipher[31], 0xCC2C84D4u);
    for (int round = 0; round < 16; ++round) {
        for (int half = 0; half < 2; ++half) {
            EXPECT_EQ(schedule.words[88 + 2 * (15 - round) + half], encipher[2 * round + half])
                << round;
        }
    }
}

// Lengths at and around the group sizes of the bitsliced decipher (128 and 256 blocks), tails
// included, at every alignment of the buffer.
TEST(DesCbc, MatchesOracleForRandomKeysIvsLengthsAndAlignments) {
    std::mt19937 rng(20240611);
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 64; ++n) lengths.push_back(n);
    lengths.insert(lengths.end(), {1001, 1023, 1024, 1031, 2048, 2565, 4099, 65537, 100003});
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

// desCbc takes only the widest lanes and the base ones: the portable lanes, which some machines
// run, are checked here directly, each width on one group of its own.
TEST(DesSlice, EveryWidthDeciphersAsTheOracleDoes) {
    std::mt19937 rng(46);
    for (const DesSlicePath& path : {desSlicePortable(), desSliceBase(), desSliceWidest()}) {
        SCOPED_TRACE(std::to_string(path.blocks) + " blocks");
        const Bytes key = randomBytes(rng, 8);
        const Bytes chain = randomBytes(rng, 8);
        const Bytes cipher = randomBytes(rng, 8 * path.blocks);
        Schedule schedule(key.data());
        Bytes sliced = cipher;
        path.decipher(schedule.s->words + kDesScheduleWords - 32, chain.data(), sliced.data());
        EXPECT_EQ(sliced, oracleCbc(key.data(), true, chain.data(), cipher));
    }
}

// The narrow-lane run (tests/CMakeLists.txt) takes the wide lanes away through the C library and
// says so in KORPROXY_TEST_NARROW_LANES: desCbc must then pick the base lanes, else that run
// checked the wide ones a second time.
TEST(DesCbc, NarrowLaneRunTakesTheBaseLanes) {
    if (std::getenv("KORPROXY_TEST_NARROW_LANES") == nullptr) GTEST_SKIP() << "a wide-lane run";
    EXPECT_EQ(desSliceWidest().blocks, desSliceBase().blocks);
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

// The program's fixed key and IV, as the derivation must use them.
const unsigned char kFixedKey[8] = {0x3A, 0x91, 0x5C, 0xE7, 0x0D, 0x62, 0xB4, 0x1F};
const unsigned char kFixedIv[8] = {0x6B, 0x1D, 0xC2, 0x4E, 0x97, 0x38, 0xF0, 0x55};

// The last ciphertext block of the zero-padded text under the fixed key and IV. One byte shows the
// zero padding; eight show that a whole block gets no extra one. An empty text is refused and
// leaves the output alone.
TEST(DesDeriveKey, IsTheCbcMacOfTheZeroPaddedText) {
    for (const char* text : {"a", "ADMINIST", "ADMINISTRATORhost-01"}) {
        Bytes bytes(text, text + std::strlen(text));
        Bytes out(8, 0xEE);
        EXPECT_EQ(desDeriveKey(bytes.data(), static_cast<int32_t>(bytes.size()), out.data()), 0);
        bytes.resize((bytes.size() + 7) / 8 * 8, 0);
        const Bytes sealed = oracleCbc(kFixedKey, false, kFixedIv, bytes);
        EXPECT_EQ(out, Bytes(sealed.end() - 8, sealed.end())) << text;
    }
    unsigned char out[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(desDeriveKey(kFixedKey, 0, out), -1);
    EXPECT_EQ(desDeriveKey(kFixedKey, -5, out), -1);
    EXPECT_EQ(Bytes(out, out + 8), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
}

// Key material comes from the operating system's generator: calls within one second differ.
TEST(DesRandomBlock, EveryCallGivesFreshBytes) {
    Bytes seen[16];
    for (Bytes& block : seen) {
        block.assign(8, 0);
        ASSERT_EQ(desRandomBlock(block.data()), 0);
    }
    for (size_t i = 0; i < std::size(seen); ++i) {
        for (size_t j = i + 1; j < std::size(seen); ++j) EXPECT_NE(seen[i], seen[j]) << i << j;
    }
}

}  // namespace
