// The fixed values, key derivation and the random block.
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

// One byte shows the zero padding; eight show that a whole block gets no extra one.
TEST(DesDeriveKey, IsTheCbcMacOfTheZeroPaddedText) {
    for (const char* text : {"a", "ADMINIST", "ADMINISTRATORhost-01"}) {
        const Bytes bytes(text, text + std::strlen(text));
        EXPECT_EQ(derive(bytes), oracleMac(bytes)) << text;
    }
}

TEST(DesDeriveKey, RefusesAnEmptyText) {
    unsigned char out[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const unsigned char text[1] = {'x'};
    EXPECT_EQ(desDeriveKey(text, 0, out), -1);
    EXPECT_EQ(desDeriveKey(text, -5, out), -1);
    EXPECT_EQ(Bytes(out, out + 8), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
}

// Two calls in the same second once gave the same bytes; every call is fresh now.
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
