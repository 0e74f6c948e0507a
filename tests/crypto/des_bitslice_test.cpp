// The bitsliced decipher: its S-box circuits against the S-box tables, and every width this machine
// runs against the table-driven cipher, block by block.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include "crypto/des_bitslice.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <vector>

#include "crypto/des.h"
#include "crypto/des_circuits.h"
#include "crypto/des_fips.h"
#include "des_oracle.h"

namespace {

// Lane i of each word carries the S-box input i: every circuit sees all 64 inputs at once.
TEST(DesCircuits, GiveEveryOutputOfEverySBox) {
    uint64_t x[48];
    uint64_t y[32];
    for (int s = 0; s < 8; ++s) {
        for (int k = 0; k < 6; ++k) {
            x[6 * s + k] = 0;
            for (int i = 0; i < 64; ++i) x[6 * s + k] |= uint64_t{(i >> (5 - k)) & 1u} << i;
        }
    }
    desSboxCircuits(x, y);
    for (int s = 0; s < 8; ++s) {
        for (int i = 0; i < 64; ++i) {
            const int row = ((i >> 4) & 2) | (i & 1);
            const int column = (i >> 1) & 15;
            int out = 0;
            for (int j = 0; j < 4; ++j)
                out = (out << 1) | static_cast<int>((y[4 * s + j] >> i) & 1);
            EXPECT_EQ(out, desfips::kSBoxes[s][16 * row + column])
                << "S-box " << s + 1 << " in " << i;
        }
    }
}

TEST(DesSlice, EveryWidthDeciphersAsTheTablesDo) {
    std::mt19937 rng(46);
    std::vector<DesSlicePath> paths = {desSlicePortable(), desSliceBase(), desSliceWidest()};
    for (const DesSlicePath& path : paths) {
        for (int trial = 0; trial < 3; ++trial) {
            SCOPED_TRACE(std::to_string(path.blocks) + " blocks, trial " + std::to_string(trial));
            unsigned char key[8];
            unsigned char chain[8];
            for (auto& b : key) b = static_cast<unsigned char>(rng());
            for (auto& b : chain) b = static_cast<unsigned char>(rng());
            std::vector<unsigned char> cipher(8 * path.blocks);
            for (auto& b : cipher) b = static_cast<unsigned char>(rng());
            testdes::Schedule schedule(key);
            std::vector<unsigned char> sliced = cipher;
            path.decipher(schedule.s->words + kDesScheduleWords - 32, chain, sliced.data());
            for (uint32_t n = 0; n < path.blocks; ++n) {
                unsigned char block[8];
                std::memcpy(block, &cipher[8 * n], 8);
                desCbc(schedule.s, DES_DECIPHER, n > 0 ? &cipher[8 * n - 8] : chain, block, 8);
                ASSERT_EQ(std::memcmp(block, &sliced[8 * n], 8), 0) << "block " << n;
            }
        }
    }
}

// The narrow-lane run (tests/CMakeLists.txt) takes the wide lanes away through the C library and
// says so in KORPROXY_TEST_NARROW_LANES: desCbc must then pick the base lanes, else that run
// checked the wide ones a second time.
TEST(DesCbc, NarrowLaneRunTakesTheBaseLanes) {
    if (std::getenv("KORPROXY_TEST_NARROW_LANES") == nullptr) GTEST_SKIP() << "a wide-lane run";
    EXPECT_EQ(desSliceWidest().blocks, desSliceBase().blocks);
}

}  // namespace
