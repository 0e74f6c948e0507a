// The Identify and proxy-session exchanges over a scripted transport.
#include "session/smverbs.h"

#include <gtest/gtest.h>

#include "script_server.h"

namespace {

TEST(Identify, ReadsCapabilityAndCharacterSetOrRefuses) {
    const std::string identifyVerb("\x00\x04\x1d\xa5", 4), endVerb("\x00\x04\x14\xa5", 4);
    struct {
        const char* what;
        std::string answer;
        int failSendAt;
        int result;
        int32_t ebcdic;
        SmEndReason reason;
        std::string sent;
    } cases[] = {
        {"ebcdic", identifyAnswer(0x16, 0x02), -1, 0, 1, kSmNotEnded, identifyVerb},
        {"all but proxy", identifyAnswer(0, 0xFD), -1, 10, 0, kSmEndClosedByProxy,
         identifyVerb + endVerb},
        {"no answer", "", -1, 2, 0, kSmEndConnection, identifyVerb},
        {"send fails", identifyAnswer(0, 2), 0, -1, 0, kSmEndConnection, ""},
        {"too short for byte 44", identifyAnswer(0, 2, 44), -1, 2, 0, kSmEndProtocol, identifyVerb},
        {"just long enough", identifyAnswer(0, 2, 45), -1, 0, 0, kSmNotEnded, identifyVerb},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TraceCapture trace;
        Scripted w;
        w.t.failSendAt = c.failSendAt;
        w.t.queue(c.answer);
        EXPECT_EQ(smIdentify(w.s), c.result);
        EXPECT_EQ(w.s->ebcdic, c.ebcdic);
        EXPECT_EQ(w.s->termReason, c.reason);
        EXPECT_EQ(w.t.sent, c.sent);
        if (c.result == 0) {
            EXPECT_EQ(w.s->state, kSmIdentifying);
        }
        if (c.result == kSmNoProxySupport) {
            EXPECT_EQ(w.s->state, kSmIdle);
            EXPECT_EQ(w.t.closes, 1);
            EXPECT_TRUE(trace.has("(smverbs, N) Server does not support proxy agent.\n"));
        }
    }
}

// The request carries the id behind its header; the answer's status maps onto the result codes
// (the known refusals are checked against the simulator's switches) and failures return 2.
TEST(ProxySession, StatusMapsOntoResultCodesAndFailuresReturnTwo) {
    const std::string request(
        "\x00\x0f\x5e\xa5\x00\x00\x00\x00\x05"
        "ADMIN\x00",
        15);
    struct {
        int status;  // -1: no answer at all
        int result;
        uint16_t length = 12;
        int failSendAt = -1;
        SmEndReason reason = kSmNotEnded;  // a refusal leaves the session open
    } cases[] = {
        {0, 0, 9},
        {12, 2},
        {255, 2},
        {0, 2, 9, 0, kSmEndConnection},  // the send fails
        {-1, 2, 0, -1, kSmEndConnection},
        {0, 2, 8, -1, kSmEndProtocol},  // too short for the status
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.status << " " << c.length << " " << c.failSendAt);
        TraceCapture trace;
        Scripted w;
        std::string answer = makeVerb(c.length, 0x5E);
        if (c.length > 8) answer[8] = static_cast<char>(c.status);
        if (c.status >= 0) w.t.queue(answer);
        w.t.failSendAt = c.failSendAt;
        w.s->state = kSmIdentifying;
        EXPECT_EQ(smStartProxy(w.s, reinterpret_cast<const unsigned char*>("ADMIN"), 5), c.result);
        EXPECT_EQ(w.s->termReason, c.reason);
        EXPECT_EQ(w.t.sent, c.failSendAt == 0 ? "" : request);
        if (c.reason == kSmNotEnded) {
            EXPECT_EQ(w.s->state, c.status ? kSmIdentifying : kSmProxyStarted);
        }
        EXPECT_EQ(trace.has("(smverbs, N) Protocol error, no response sent.\n"), c.status < 0);
        EXPECT_FALSE(trace.has("Send Verb"));
    }
}

}  // namespace
