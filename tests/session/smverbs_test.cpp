// The Identify and proxy-session exchanges over a scripted transport.
#include "session/smverbs.h"

#include <gtest/gtest.h>

#include "script_transport.h"

namespace {

std::string identifyAnswer(unsigned char charset, unsigned char capability, uint16_t length = 48) {
    std::string v = makeVerb(length, 0x1D);
    if (v.size() > 5) v[5] = static_cast<char>(charset);
    if (v.size() > 44) v[44] = static_cast<char>(capability);
    return v;
}

TEST(Identify, ReadsCapabilityAndCharacterSet) {
    struct {
        unsigned char charset, capability;
        int result;
        int32_t ebcdic;
        SmState state;
        SmEndReason reason;
    } cases[] = {
        {0x16, 0x02, 0, 1, kSmIdentifying, kSmNotEnded},
        {0x15, 0x02, 0, 0, kSmIdentifying, kSmNotEnded},
        {0x16, 0xFF, 0, 1, kSmIdentifying, kSmNotEnded},
        {0x00, 0xFD, 10, 0, kSmIdle, kSmEndClosedByProxy},
        {0x16, 0x00, 10, 0, kSmIdle, kSmEndClosedByProxy},
    };
    for (const auto& c : cases) {
        TraceCapture trace;
        SessionHolder s;
        ScriptTransport t;
        t.install(s.s);
        t.queue(identifyAnswer(c.charset, c.capability));
        EXPECT_EQ(smIdentify(s.s), c.result) << int{c.capability};
        EXPECT_EQ(s->ebcdic, c.ebcdic);
        EXPECT_EQ(s->state, c.state);
        EXPECT_EQ(s->termReason, c.reason);
        if (c.result == kSmNoProxySupport) {
            EXPECT_EQ(t.sent, std::string("\x00\x04\x1d\xa5\x00\x04\x14\xa5", 8))
                << "identify, then the end-session verb";
            EXPECT_EQ(t.closes, 1);
            EXPECT_TRUE(trace.has("(smverbs, N) Server does not support proxy agent.\n"));
        } else {
            EXPECT_EQ(t.sent, std::string("\x00\x04\x1d\xa5", 4));
        }
    }
}

TEST(Identify, FailuresAndShortAnswers) {
    struct {
        const char* what;
        std::string answer;
        int failSendAt;
        int result;
        SmEndReason reason;
    } cases[] = {
        {"no answer", "", -1, 2, kSmEndConnection},
        {"send fails", identifyAnswer(0, 2), 0, -1, kSmEndConnection},
        {"too short for byte 44", identifyAnswer(0, 2, 44), -1, 2, kSmEndProtocol},
        {"just long enough", identifyAnswer(0, 2, 45), -1, 0, kSmNotEnded},
    };
    for (const auto& c : cases) {
        SessionHolder s;
        ScriptTransport t;
        t.install(s.s);
        t.failSendAt = c.failSendAt;
        t.queue(c.answer);
        EXPECT_EQ(smIdentify(s.s), c.result) << c.what;
        EXPECT_EQ(s->termReason, c.reason) << c.what;
    }
}

TEST(ProxySession, RequestLayoutAndNoVerbTrace) {
    TraceCapture trace;
    SessionHolder s;
    ScriptTransport t;
    t.install(s.s);
    t.queue(makeVerb(9, 0x5E));
    s->state = kSmIdentifying;
    ASSERT_EQ(smStartProxy(s.s, reinterpret_cast<const unsigned char*>("ADMIN"), 5), 0);
    EXPECT_EQ(t.sent, std::string("\x00\x0f\x5e\xa5\x00\x00\x00\x00\x05"
                                  "ADMIN\x00",
                                  15));
    EXPECT_EQ(s->state, kSmProxyStarted);
    EXPECT_FALSE(trace.has("Send Verb"));
}

TEST(ProxySession, StatusMapsOntoResultCodes) {
    struct {
        int status;
        int result;
    } cases[] = {{0, 0}, {2, 9}, {3, 6}, {11, 11}, {13, 3}, {1, 2}, {12, 2}, {255, 2}};
    for (const auto& c : cases) {
        SessionHolder s;
        ScriptTransport t;
        t.install(s.s);
        std::string answer = makeVerb(12, 0x5E);
        answer[8] = static_cast<char>(c.status);
        t.queue(answer);
        s->state = kSmIdentifying;
        EXPECT_EQ(smStartProxy(s.s, reinterpret_cast<const unsigned char*>("a"), 1), c.result)
            << c.status;
        EXPECT_EQ(s->state, c.status == 0 ? kSmProxyStarted : kSmIdentifying) << c.status;
        EXPECT_EQ(s->termReason, kSmNotEnded) << "a refusal leaves the session open";
    }
}

TEST(ProxySession, FailuresReturnTwo) {
    struct {
        const char* what;
        std::string answer;
        int failSendAt;
        SmEndReason reason;
    } cases[] = {
        {"send fails", makeVerb(9, 0x5E), 0, kSmEndConnection},
        {"no answer", "", -1, kSmEndConnection},
        {"too short for the status", makeVerb(8, 0x5E), -1, kSmEndProtocol},
    };
    for (const auto& c : cases) {
        TraceCapture trace;
        SessionHolder s;
        ScriptTransport t;
        t.install(s.s);
        t.failSendAt = c.failSendAt;
        t.queue(c.answer);
        EXPECT_EQ(smStartProxy(s.s, reinterpret_cast<const unsigned char*>("a"), 1), 2) << c.what;
        EXPECT_EQ(s->termReason, c.reason) << c.what;
        if (std::string(c.what) == "no answer") {
            EXPECT_TRUE(trace.has("(smverbs, N) Protocol error, no response sent.\n"));
        }
    }
}

}  // namespace
