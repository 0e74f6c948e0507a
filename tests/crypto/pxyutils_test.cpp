// ASCII to EBCDIC conversion: sample characters, the whole table with an iconv cross-check, and
// the counted bytes alone.
#include "crypto/pxyutils.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <set>
#include <string>

namespace {

unsigned char converted(unsigned char ascii) {
    char c = static_cast<char>(ascii);
    convertAsciiToEbcdic(&c, 1);
    return static_cast<unsigned char>(c);
}

TEST(ConvertAsciiToEbcdic, SampleCharacters) {
    const struct {
        unsigned char ascii, ebcdic;
    } samples[] = {
        // Outside the range iconv checks below, and a few inside it for a machine without iconv.
        {'A', 0xC1},  {'z', 0xA9},  {'0', 0xF0},  {'\n', 0x15}, {0xB4, 0x15},
        {0x1C, 0x22}, {0x1E, 0x35}, {0x7F, 0x07}, {0x00, 0x00}, {0xFF, 0xFF},
    };
    for (const auto& s : samples) EXPECT_EQ(converted(s.ascii), s.ebcdic) << int{s.ascii};
}

// One to one but for the two new lines, NUL only from NUL (a NUL-terminated text keeps its
// length), never 0x25; the printable range as iconv's CP1047 where this machine has it.
TEST(ConvertAsciiToEbcdic, WholeTable) {
    iconv_t cd = iconv_open("CP1047", "ISO-8859-1");
    std::set<unsigned char> seen;
    for (int b = 0; b < 256; ++b) {
        const unsigned char e = converted(static_cast<unsigned char>(b));
        EXPECT_EQ(e == 0x00, b == 0) << b;
        EXPECT_NE(e, 0x25) << b;
        seen.insert(e);
        if (cd == reinterpret_cast<iconv_t>(-1) || b < 0x20 || b > 0x7E) continue;
        char in = static_cast<char>(b), out = 0;
        char* inp = &in;
        char* outp = &out;
        size_t inLeft = 1, outLeft = 1;
        ASSERT_NE(iconv(cd, &inp, &inLeft, &outp, &outLeft), static_cast<size_t>(-1));
        EXPECT_EQ(e, static_cast<unsigned char>(out)) << b;
    }
    EXPECT_EQ(seen.size(), 255u);  // only 0A and B4 share a value, 15
    if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
}

TEST(ConvertAsciiToEbcdic, TouchesOnlyTheCountedBytes) {
    char text[] = "admin";
    convertAsciiToEbcdic(text, 0);
    EXPECT_STREQ(text, "admin");
    convertAsciiToEbcdic(text, -3);
    EXPECT_STREQ(text, "admin");
    convertAsciiToEbcdic(text, 3);
    EXPECT_EQ(std::string(text), std::string("\x81\x84\x94") + "in");
    char line[] = "HTML\n";
    convertAsciiToEbcdic(line, 5);
    EXPECT_EQ(std::string(line), "\xC8\xE3\xD4\xD3\x15");
}

}  // namespace
