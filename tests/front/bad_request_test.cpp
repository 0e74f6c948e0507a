// Hostile requests on the program's inputs: huge query strings and bodies, thousands of pieces,
// stray "%", zero bytes, lengths that lie. Each ends in one well-formed CGI answer, and what was
// stored before is still there, whole, afterwards.
#include <gtest/gtest.h>

#include <string>

#include "front_testing.h"

namespace {

std::string pieces(size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) text.append("p").append(std::to_string(i)).append("=v&");
    return text;
}

struct BadRequest {
    const char* what;
    bool post;
    std::string text;         // the query string, or the body
    std::string length = "";  // CONTENT_LENGTH; empty: the body's own length
};

TEST(BadRequest, EachGetsOneCleanAnswerAndTheStoreStaysWhole) {
    // No server listens on port 1 of the loopback address: a request that gets as far as
    // connecting fails at once.
    const std::string server = "SERVER=127.0.0.1:1";
    const std::string kb100(100 * 1024, 'a');
    std::string escapes;
    while (escapes.size() < kb100.size()) escapes += "%41";
    const BadRequest requests[] = {
        {"100 KB URL", false, server + "&URL=/" + kb100},
        {"100 KB of escapes", false, server + "&URL=" + escapes},
        {"100 KB server", false, "SERVER=" + kb100 + ":1&URL=/"},
        {"5000 pieces", false, pieces(5000) + server + "&URL=/"},
        // One environment string holds at most 128 KiB, so the refused count comes in short pieces.
        {"20000 empty pieces", false, std::string(20000, '&')},
        {"stray percents", false, "SERVER=%&URL=%2&%=%%&%"},
        {"escape to a zero byte", false, "SERVER=h%00:1&URL=/%zz"},
        {"port beyond 16 bits", false, "SERVER=127.0.0.1:99999999999999999999&URL=/"},
        {"no port", false, "SERVER=127.0.0.1&URL=/"},
        {"100 KB special request", false, "CONFIG&JUMP=" + kb100},
        {"FORCETRACE with a long value", false, "FORCETRACE=" + std::string(10000, 't') + "&JUMP"},
        {"zero bytes in the body", true, server + std::string("\0\0&URL=/\0x", 10)},
        {"100 KB URL posted", true, server + "&URL=%2F" + kb100},
        {"5000 pieces posted", true, pieces(5000) + server + "&URL=/"},
        {"20000 pieces posted", true, pieces(20000) + server + "&URL=/"},
        {"body shorter than announced", true, server + "&URL=/", "100000"},
        {"length that is not a number", true, server + "&URL=/", "12abc"},
        {"stray percents posted", true, "SERVER=%&URL=%"},
    };
    fronttest::Site site({"-proxyId=admin", "-proxyPassword=secret", "-cgiUrl=/cgi-bin/velkproxy",
                          "-tcps=127.0.0.1", "-tcpp=1", "-trace=null"});
    const std::string before = fronttest::readStore(site.dir).text();
    for (const BadRequest& r : requests) {
        fronttest::ProgramRun run = r.post ? fronttest::runPost(site.dir, r.text, r.length)
                                           : fronttest::runGet(site.dir, r.text);
        fronttest::expectOneCgiAnswer(run, r.what);
        EXPECT_EQ(fronttest::readStore(site.dir).text(), before) << r.what;
    }
}

}  // namespace
