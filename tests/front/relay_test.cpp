// The server header removal of the page relay, against worked pages and against a plain reading of
// the rule (search again from the start after every blank) on generated pages.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "common/cpufeatures.h"
#include "front/korproxy_relay.h"

namespace {

std::string cleaned(std::string page, size_t* blanked = nullptr) {
    size_t n = removeServerHeaders(page.data(), page.size());
    if (blanked != nullptr) *blanked = n;
    return page;
}

TEST(RemoveServerHeaders, WorkedPages) {
    struct Case {
        std::string page, expected;
        size_t blanked;
    };
    const Case cases[] = {
        {"HTTP/1.0 200 OK\r\nServer: VELK_HTTP\r\nContent-type: text/html\r\n\r\n<p>x</p>",
         std::string(16, ' ') + "\n" + std::string(18, ' ') + "\n" + std::string(24, ' ') +
             "\n\r\n<p>x</p>",
         3},
        {"Content-Type: text/html\nbody", "Content-Type: text/html\nbody", 0},
        {"Server: velk_http\nHTTP/1.1 200\n", "Server: velk_http\nHTTP/1.1 200\n", 0},
        {std::string("ok\0Content-type: x\n", 20), std::string("ok\0Content-type: x\n", 20), 0},
        // Blanking the second marker destroys the third one it overlaps.
        {"Server: VELK_HTTP/1.0 200 OK\nx", "Server: VELK_" + std::string(15, ' ') + "\nx", 1},
    };
    for (const Case& c : cases) {
        size_t blanked = 0;
        EXPECT_EQ(cleaned(c.page, &blanked), c.expected) << c.page;
        EXPECT_EQ(blanked, c.blanked) << c.page;
    }
}

// Only the first `count` bytes belong to the page.
TEST(RemoveServerHeaders, NeverWritesPastTheCount) {
    std::string page = "Content-type: x\nContent-type: y";
    EXPECT_EQ(removeServerHeaders(page.data(), 16), 1u);
    EXPECT_EQ(page, std::string(15, ' ') + "\nContent-type: y");
}

// The rule as it reads: look for the first marker from the start, then the second only if the
// first is absent, then the third; blank the occurrence found and begin again. Every blanking
// counts, so markers sharing a line count once when the first found is the leftmost.
std::string reference(std::string page, size_t* blanked) {
    for (*blanked = 0;; ++*blanked) {
        char* text = page.data();
        char* at = nullptr;
        for (const char* marker : kServerHeaderMarkers) {
            at = strstr(text, marker);
            if (at != nullptr) break;
        }
        if (at == nullptr) return page;
        for (; *at != '\0' && *at != '\n'; ++at) *at = ' ';
    }
}

TEST(RemoveServerHeaders, AgreesWithSearchingAgainFromTheStart) {
    // Long fillers carry markers across the search's lanes and put some at the page's very end.
    std::vector<std::string> pieces = {std::string(45, 'e'), std::string(1, '\0'),
                                       "0123456789abcdefghijklmnopqrstuvwxyz CK"};
    std::istringstream list(
        "Content-type|HTTP/1.0 200|Server: VELK_HTTP|Content-|HTTP/1.0 |VELK_HTTP| |x|200|Server: "
        "|\r\n|\n|/1.0 200");
    for (std::string piece; std::getline(list, piece, '|');) pieces.push_back(piece);
    std::mt19937 random(20240611);
    for (int round = 0; round < 3000; ++round) {
        std::string page;
        int count = static_cast<int>(random() % (round < 1000 ? 12 : 40));
        for (int i = 0; i < count; ++i) page += pieces[random() % pieces.size()];
        size_t blanked = 0, expected = 0;
        EXPECT_EQ(cleaned(page, &blanked), reference(page, &expected)) << page;
        EXPECT_EQ(blanked, expected) << page;
    }
}

// The narrow-lane run (tests/CMakeLists.txt) must search with the 16-byte lanes: the processor's
// answer, which picks the lanes, says it has no 32-byte ones.
TEST(RemoveServerHeaders, NarrowLaneRunTakesSixteenByteLanes) {
    if (std::getenv("KORPROXY_TEST_NARROW_LANES") == nullptr) GTEST_SKIP() << "a wide-lane run";
    EXPECT_FALSE(cpuHasAvx2());
}

}  // namespace
