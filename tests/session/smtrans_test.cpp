// Verb framing over a scripted transport: reading whole verbs from pieces, the staging buffer's
// growth and its bound, and the ways a verb is refused.
#include "session/smtrans.h"

#include <gtest/gtest.h>

#include "common/limits.h"
#include "script_server.h"

namespace {

// A verb is gathered from pieces (its header split too), lands with its header at offset 0, grows
// the staging buffer by the rule, and nothing past it is read.
TEST(Verb, GathersPiecesAndGrowsTheBufferByTheRuleUpToTheLimit) {
    const std::pair<std::string, int32_t> cases[] = {
        {makeVerb(4, 0x16), 512},
        {makeVerb(10, 0x1D), 512},
        {makeVerb(512, 0x16), 512},
        {makeVerb(513, 0x16), 768},
        {makeVerb(2000, 0x16), 2008},
        {makeExtendedVerb(1000, 0x0102), 1008},  // its 16-bit length says 7
        {makeExtendedVerb(kMaxVerbLength, 0x16), kMaxVerbLength + 8}};
    for (auto [verb, size] : cases) {
        SCOPED_TRACE(verb.size());
        Scripted w;
        for (size_t i = 12; i < verb.size(); ++i) verb[i] = static_cast<char>(i);
        // The first 16 bytes (either header form and more) in pieces of 1 to 3 bytes, then the
        // rest.
        for (size_t at = 0, piece = 1; at < verb.size();
             at += piece, piece = at < 16 ? piece % 3 + 1 : verb.size()) {
            w.t.queue(verb.substr(at, piece));
        }
        w.t.queue("next");
        const unsigned char* got = smRecvVerb(w.s);
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(got), verb.size()), verb);
        EXPECT_EQ(smVerbLength(got), verb.size());
        EXPECT_EQ(w.s->verbBufSize, size);
        EXPECT_EQ(w.s->termReason, kSmNotEnded);
        EXPECT_EQ(w.t.incoming.back(), "next");
    }
}

// A refused verb ends the session and reads nothing more; the staging buffer grows only for a verb
// it takes, and a failed growth keeps the old buffer.
TEST(Verb, RefusalsEndTheSessionWithTheirReason) {
    struct Case {
        std::string bytes;
        SmEndReason reason;
        int32_t size;  // staging buffer size afterwards
        std::string trace;
    };
    const Case cases[] = {
        {makeVerb(24, 0x16, 0x5A), kSmEndProtocol, 512, "(smtrans, N) Bad Verb magic.\n"},
        {makeExtendedVerb(kMaxVerbLength + 1, 0x16).substr(0, 12), kSmEndProtocol, 512,
         "(smtrans, N) Verb of " + std::to_string(kMaxVerbLength + 1) +
             " bytes refused; the limit is " + std::to_string(kMaxVerbLength) + ".\n"},
        {makeVerb(3, 0x16), kSmEndConnection, 512, ""},  // shorter than its header
        {makeVerb(600, 0x16).substr(0, 300), kSmEndConnection, 768, ""},
        {std::string("\x00\x04", 2), kSmEndConnection, 512, ""},  // the header cut short
        {makeVerb(1000, 0x16), kSmEndOutOfMemory, 512,
         "(smtrans, N) Unable to allocate a larger verb staging buffer extend"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.trace + std::to_string(c.bytes.size()));
        TraceCapture trace;
        Scripted w;
        unsigned char* before = w.s->verbBuf;
        w.t.queue(c.bytes);
        if (c.reason != kSmEndConnection) w.t.queue("rest");
        if (c.reason == kSmEndOutOfMemory) smSetAllocator([](size_t) -> void* { return nullptr; });
        EXPECT_EQ(smRecvVerb(w.s), nullptr);
        smSetAllocator(nullptr);
        EXPECT_EQ(w.s->termReason, c.reason);
        EXPECT_EQ(w.s->verbBufSize, c.size);
        EXPECT_EQ(w.s->verbBuf == before, c.size == 512);
        EXPECT_EQ(w.t.closes, c.reason == kSmEndConnection ? 0 : 1);
        if (c.reason != kSmEndConnection) {
            EXPECT_EQ(w.t.incoming.back(), "rest") << "nothing more is read";
        }
        EXPECT_EQ(trace.text(), c.trace);
    }
}

TEST(Verb, SendTracesAndFlushesOnlyOnALiveSession) {
    unsigned char verb[4] = {0, 4, 0x1D, 0};
    for (bool sendFails : {false, true}) {
        TraceCapture trace;
        Scripted w;
        w.t.failSendAt = sendFails ? 0 : -1;
        EXPECT_EQ(smSendVerb(w.s, verb), sendFails ? -1 : 0);
        EXPECT_EQ(w.t.flushes, 1);
        EXPECT_EQ(trace.text(), "(smtrans, N) Send Verb: Length=4, Code=001D\n");
        // A failed send marks the session but does not close it.
        if (!sendFails) smTerminate(w.s, kSmEndProtocol);
        EXPECT_EQ(w.s->termReason, sendFails ? kSmEndConnection : kSmEndProtocol);
        EXPECT_EQ(w.t.closes, sendFails ? 0 : 1);
        EXPECT_EQ(smSendVerb(w.s, verb), -1);
        EXPECT_EQ(smRecvVerb(w.s), nullptr);
        EXPECT_EQ(w.t.sends + w.t.receives, 1) << "an ended session sends and reads nothing";
    }
}

}  // namespace
