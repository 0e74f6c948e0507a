// Verb framing over a scripted transport: reading whole verbs from pieces, the staging buffer's
// growth and its bound, and the ways a verb is refused.
#include "session/smtrans.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "common/limits.h"
#include "script_transport.h"

namespace {

TEST(Verb, StagingBufferGrowsByTheRule) {
    struct {
        uint16_t length;
        int32_t size;
    } cases[] = {{512, 512}, {513, 768}, {2000, 2008}, {4, 512}};
    for (const auto& c : cases) {
        SessionHolder s;
        ScriptTransport t;
        t.install(s.s);
        std::string verb = makeVerb(c.length, 0x16);
        for (size_t i = 4; i < verb.size(); ++i) verb[i] = static_cast<char>(i);
        t.queue(verb);
        const unsigned char* got = smRecvVerb(s.s);
        ASSERT_NE(got, nullptr) << c.length;
        EXPECT_EQ(s->verbBufSize, c.size) << c.length;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(got), c.length), verb)
            << "header intact at offset 0, body behind it";
    }
}

TEST(Verb, GathersHeaderAndBodyFromPieces) {
    SessionHolder s;
    ScriptTransport t;
    t.install(s.s);
    std::string verb = makeVerb(10, 0x1D);
    verb.replace(4, 6, "abcdef");
    size_t at = 0;
    for (size_t cut : {1, 4, 6, 7, 10}) {
        t.queue(verb.substr(at, cut - at));
        at = cut;
    }
    const unsigned char* got = smRecvVerb(s.s);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(got), 10), verb);
    EXPECT_EQ(s->termReason, kSmNotEnded);
}

TEST(Verb, ExtendedFormIsGovernedByItsLongLength) {
    SessionHolder s;
    ScriptTransport t;
    t.install(s.s);
    std::string verb = makeExtendedVerb(1000, 0x0102);  // its 16-bit length says 7
    t.queue(verb);
    t.queue("next");
    const unsigned char* got = smRecvVerb(s.s);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(smVerbLength(got), 1000u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(got), 1000), verb);
    EXPECT_EQ(t.incoming.back(), "next") << "nothing past the verb is read";
}

TEST(Verb, RefusalsEndTheSessionWithTheirReason) {
    struct Case {
        const char* what;
        std::string bytes;
        SmEndReason reason;
        int32_t size;  // staging buffer size afterwards
    };
    std::string tooLong = makeExtendedVerb(kMaxVerbLength + 1, 0x16).substr(0, 12);
    const Case cases[] = {
        {"bad magic", makeVerb(24, 0x16, 0x5A), kSmEndProtocol, 512},
        {"beyond the limit", tooLong, kSmEndProtocol, 512},
        {"shorter than its header", makeVerb(3, 0x16), kSmEndConnection, 512},
        {"cut short", makeVerb(600, 0x16).substr(0, 300), kSmEndConnection, 768},
        {"header cut short", std::string("\x00\x04", 2), kSmEndConnection, 512},
    };
    for (const Case& c : cases) {
        TraceCapture trace;
        SessionHolder s;
        ScriptTransport t;
        t.install(s.s);
        t.queue(c.bytes);
        if (c.reason == kSmEndProtocol) t.queue("rest");
        EXPECT_EQ(smRecvVerb(s.s), nullptr) << c.what;
        EXPECT_EQ(s->termReason, c.reason) << c.what;
        EXPECT_EQ(s->verbBufSize, c.size) << c.what;
        if (c.reason == kSmEndProtocol) {
            EXPECT_EQ(t.closes, 1) << c.what;
            EXPECT_EQ(t.incoming.back(), "rest") << c.what << ": nothing more is read";
        }
        if (std::string(c.what) == "bad magic") {
            EXPECT_EQ(trace.text(), "(smtrans, N) Bad Verb magic.\n");
        }
    }
}

TEST(Verb, LongestAllowedVerbIsRead) {
    SessionHolder s;
    ScriptTransport t;
    t.install(s.s);
    t.queue(makeExtendedVerb(kMaxVerbLength, 0x16));
    ASSERT_NE(smRecvVerb(s.s), nullptr);
    EXPECT_EQ(s->verbBufSize, static_cast<int32_t>(kMaxVerbLength + 8));
}

TEST(Verb, FailedGrowthKeepsTheOldBuffer) {
    TraceCapture trace;
    SessionHolder s;
    ScriptTransport t;
    t.install(s.s);
    unsigned char* before = s->verbBuf;
    t.queue(makeVerb(1000, 0x16));
    allocationsLeft = 0;
    smSetAllocator(failingAlloc);
    EXPECT_EQ(smRecvVerb(s.s), nullptr);
    smSetAllocator(nullptr);
    allocationsLeft = -1;
    EXPECT_EQ(s->termReason, kSmEndOutOfMemory);
    EXPECT_EQ(s->verbBuf, before);
    EXPECT_EQ(s->verbBufSize, 512);
    EXPECT_TRUE(trace.has("Unable to allocate a larger verb staging buffer extend"));
}

TEST(Verb, SendTracesAndHandsOverTheWholeVerb) {
    TraceCapture trace;
    SessionHolder s;
    ScriptTransport t;
    t.install(s.s);
    unsigned char verb[4] = {0, 4, 0x1D, 0};
    ASSERT_EQ(smSendVerb(s.s, verb), 0);
    EXPECT_EQ(t.sent, std::string("\x00\x04\x1d\xa5", 4));
    EXPECT_EQ(t.flushes, 1);
    EXPECT_EQ(trace.text(), "(smtrans, N) Send Verb: Length=4, Code=001D\n");
}

TEST(Verb, SendOnAnEndedOrFailingSessionReturnsMinusOne) {
    {
        TraceCapture trace;
        SessionHolder s;
        ScriptTransport t;
        t.install(s.s);
        smTerminate(s.s, kSmEndProtocol);
        unsigned char verb[4] = {0, 4, 0x1D, 0};
        EXPECT_EQ(smSendVerb(s.s, verb), -1);
        EXPECT_EQ(verb[3], 0xA5) << "the magic byte is written first";
        EXPECT_EQ(t.sends, 0);
        EXPECT_EQ(trace.text(), "");
        EXPECT_EQ(smRecvVerb(s.s), nullptr);
        EXPECT_EQ(t.receives, 0);
    }
    SessionHolder s;
    ScriptTransport t;
    t.install(s.s);
    t.failSendAt = 0;
    unsigned char verb[4] = {0, 4, 0x1D, 0};
    EXPECT_EQ(smSendVerb(s.s, verb), -1);
    EXPECT_EQ(s->termReason, kSmEndConnection);
    EXPECT_EQ(t.closes, 0) << "a failed send marks the session but does not close it";
}

}  // namespace
