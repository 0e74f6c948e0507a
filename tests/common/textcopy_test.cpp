#include "common/textcopy.h"

#include <gtest/gtest.h>

#include "common/byteorder.h"

// A refused copy or append leaves the buffer as it was; a cut copy keeps the terminator.
TEST(TextCopy, FitsAtTheLimitAndRefusesWholeOnePast) {
    char dst[5] = "abcd";
    EXPECT_TRUE(copyTextFits(dst, "wxyz"));
    EXPECT_FALSE(copyTextFits(dst, "12345"));
    EXPECT_STREQ(dst, "wxyz");
    EXPECT_EQ(copyTextCut(dst, "abcdef"), 4u);
    EXPECT_STREQ(dst, "abcd");
    EXPECT_EQ(copyTextCut(dst, ""), 0u);
    EXPECT_STREQ(dst, "");
    char grown[6] = "ab";
    EXPECT_TRUE(appendTextFits(grown, sizeof grown, "cde"));
    EXPECT_FALSE(appendTextFits(grown, sizeof grown, "f"));
    EXPECT_STREQ(grown, "abcde");
    char unterminated[3] = {'x', 'y', 'z'};
    EXPECT_FALSE(appendTextFits(unterminated, sizeof unterminated, ""));
}

TEST(ByteOrder, RoundTripsBigEndian) {
    unsigned char b[4];
    putU32BE(b, 0x0A0B0C0Du);
    EXPECT_EQ(b[0], 0x0A);
    EXPECT_EQ(b[3], 0x0D);
    EXPECT_EQ(getU32BE(b), 0x0A0B0C0Du);
    putU16BE(b, 0xFFA5);
    EXPECT_EQ(b[0], 0xFF);
    EXPECT_EQ(b[1], 0xA5);
    EXPECT_EQ(getU16BE(b), 0xFFA5);
}
