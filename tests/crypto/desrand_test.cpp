// The fixed values, key derivation, the generator and the random block.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include <gtest/gtest.h>

#include <cstring>

#include "crypto/des.h"
#include "des_oracle.h"

namespace {

using testdes::Bytes;

const unsigned char kFixedKey[8] = {0x3A, 0x91, 0x5C, 0xE7, 0x0D, 0x62, 0xB4, 0x1F};
const unsigned char kFixedIv[8] = {0x6B, 0x1D, 0xC2, 0x4E, 0x97, 0x38, 0xF0, 0x55};

Bytes derive(const Bytes& text) {
    Bytes out(8, 0xEE);
    EXPECT_EQ(desDeriveKey(text.data(), static_cast<int32_t>(text.size()), out.data()), 0);
    return out;
}

// The last ciphertext block of the zero-padded text under the fixed key and IV, by the oracle.
Bytes oracleMac(Bytes text) {
    text.resize((text.size() + 7) / 8 * 8, 0);
    const Bytes sealed = testdes::oracleCbc(kFixedKey, false, kFixedIv, text);
    return Bytes(sealed.end() - 8, sealed.end());
}

TEST(DesFixed, KeyAndIvHoldTheProgramsBytes) {
    uint32_t words[2];
    desFixedKeyWords(words);
    EXPECT_EQ(std::memcmp(words, kFixedKey, 8), 0);
    EXPECT_EQ(std::memcmp(desFixedIv(), kFixedIv, 8), 0);
}

TEST(DesDeriveKey, IsTheCbcMacOfTheZeroPaddedText) {
    for (const char* text :
         {"a", "admin", "ADMINIST", "ADMINISTRATORhost-01", "0123456789abcdef"}) {
        const Bytes bytes(text, text + std::strlen(text));
        EXPECT_EQ(derive(bytes), oracleMac(bytes)) << text;
    }
}

TEST(DesDeriveKey, ZeroPaddingMakesTrailingZerosInvisible) {
    const Bytes base = {'a', 'b', 'c'};
    for (size_t zeros = 1; zeros <= 5; ++zeros) {
        Bytes padded = base;
        padded.resize(3 + zeros, 0);
        EXPECT_EQ(derive(padded), derive(base)) << zeros;
    }
    // A whole block of text gets no extra block: eight bytes are not the same as eight plus zeros.
    const Bytes eight(8, 'x');
    Bytes nine = eight;
    nine.push_back(0);
    EXPECT_NE(derive(eight), derive(nine));
}

TEST(DesDeriveKey, RefusesAnEmptyText) {
    unsigned char out[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const unsigned char text[1] = {'x'};
    EXPECT_EQ(desDeriveKey(text, 0, out), -1);
    EXPECT_EQ(desDeriveKey(text, -5, out), -1);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(out[7], 8);
}

TEST(RandNext, WrapsThe32BitProductAndKeepsTheSign) {
    struct Step {
        int32_t state;
        int32_t next;
    };
    const Step steps[] = {
        {1, 16807},
        {16807, 282475249},
        {0, 0},
        // 127774 * 16807 = 2147497618 wraps to -2147469678, which stays as the remainder.
        {127774, -2147469678},
        // 1000000 * 16807 = 16807000000 wraps to -372869184.
        {1000000, -372869184},
        {-1, -16807},
    };
    for (const auto& s : steps) {
        int32_t state = s.state;
        EXPECT_EQ(randNext(&state), s.next) << s.state;
        EXPECT_EQ(state, s.next);
    }
}

time_t fixedSecond() {
    return 1718000000;
}
time_t nextSecond() {
    return 1718000001;
}

struct ClockGuard {
    explicit ClockGuard(DesClock c) { desSetClock(c); }
    ~ClockGuard() { desSetClock(nullptr); }
};

Bytes randomBlock() {
    Bytes out(8, 0);
    EXPECT_EQ(desRandomBlock(out.data()), 0);
    return out;
}

TEST(DesRandomBlock, SameSecondSameBytesOtherSecondOtherBytes) {
    Bytes first, again, later;
    {
        ClockGuard guard(fixedSecond);
        first = randomBlock();
        again = randomBlock();
    }
    {
        ClockGuard guard(nextSecond);
        later = randomBlock();
    }
    EXPECT_EQ(first, again);
    EXPECT_NE(first, later);
    // The real clock is back: a block still comes out.
    EXPECT_EQ(randomBlock().size(), 8u);
}

}  // namespace
