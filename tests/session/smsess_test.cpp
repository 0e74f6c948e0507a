// The descriptor's lifecycle and the command exchange of a ready session, over a scripted
// transport. (Commands and pages enciphered for real are checked against the simulator.)
#include "session/smsess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "common/limits.h"
#include "script_server.h"
#include "tests/support/released_memory.h"

namespace {

const unsigned char kKey[8] = {0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1};

struct Ready : Scripted {
    Ready() {
        s->state = kSmReady;
        s->secure = 1;
        memcpy(s->sessionKey, kKey, 8);
    }
};

TEST(Command, RefusedUnlessReadyAndSecure) {
    Ready notReady;
    notReady.s->state = kSmProxyStarted;
    EXPECT_EQ(smSendCommand(notReady.s.s, "BYE", 3), kSmNotReady);
    unsigned char page[8];
    EXPECT_EQ(smRecvData(notReady.s.s, page, 4), kSmNotReady);
    EXPECT_EQ(notReady.t.sends + notReady.t.receives, 0);

    Ready insecure;
    insecure.s->secure = 0;
    EXPECT_EQ(smSendCommand(insecure.s.s, "BYE", 3), kSmSessionFailure);
    EXPECT_EQ(insecure.t.sends, 0);

    Ready dropping;
    dropping.t.failSendAt = 0;
    EXPECT_EQ(smSendCommand(dropping.s.s, "BYE", 3), kSmSessionFailure);
    EXPECT_EQ(dropping.s->termReason, kSmEndConnection);
    EXPECT_EQ(dropping.t.closes, 1);
}

TEST(Response, ReadsToTheZeroByteAndDropsEndTheSessionOnlyOnceBytesCame) {
    Ready whole;
    whole.t.queue(std::string("RC_ERROR", 9) + "page");
    uint32_t amount = 77;
    EXPECT_EQ(smRecvResponse(whole.s.s, &amount), -22);
    EXPECT_EQ(amount, 77u);
    EXPECT_EQ(whole.t.incoming.front(), "page") << "nothing past the zero byte is read";

    Ready first;
    EXPECT_EQ(smRecvResponse(first.s.s, &amount), -1);
    EXPECT_EQ(first.s->state, kSmReady);
    EXPECT_EQ(first.s->termReason, kSmNotEnded);

    Ready later;
    later.t.queue("RC_O");
    EXPECT_EQ(smRecvResponse(later.s.s, &amount), -1);
    EXPECT_EQ(later.s->state, kSmIdle);
    EXPECT_EQ(later.s->termReason, kSmEndConnection);
}

// The trace shows the kept line on one line of its own, whatever control characters it holds.
TEST(Response, OverlongLineIsCutThenBounded) {
    const std::string kept = "RC_OK 5\n(x, 1)" + std::string(241, ' ');  // 255 characters
    {
        TraceCapture trace;
        Ready r;
        r.t.queue(kept + std::string(kResponseLineDropMax, '9') + '\0');
        uint32_t amount = 0;
        EXPECT_EQ(smRecvResponse(r.s.s, &amount), 0);
        EXPECT_EQ(amount, 5u) << "the dropped digits are not part of the number";
        EXPECT_TRUE(trace.has("server response is (RC_OK 5\\x0A(x, N)" + kept.substr(14) + ")\n"))
            << trace.text();
    }
    Ready r;
    r.t.queue(kept + std::string(kResponseLineDropMax + 1, '9') + '\0');
    uint32_t amount = 0;
    EXPECT_EQ(smRecvResponse(r.s.s, &amount), -1);
    EXPECT_EQ(r.s->termReason, kSmEndProtocol);
    EXPECT_EQ(r.t.incoming.front(), std::string(1, '\0')) << "reading stops at the bound";
}

TEST(PageData, NothingAskedReadsNothingAndAShortStreamEndsTheSession) {
    TraceCapture trace;
    Ready r;
    r.t.queue(std::string(2000, 'x'));
    std::vector<unsigned char> buf(3001);
    EXPECT_EQ(smRecvData(r.s.s, buf.data(), 0), 0);
    EXPECT_EQ(smRecvData(r.s.s, buf.data(), -3), 0);
    EXPECT_EQ(r.t.receives, 0);
    EXPECT_EQ(smRecvData(r.s.s, buf.data(), 3000), -1);
    EXPECT_EQ(r.s->termReason, kSmEndConnection);
    EXPECT_TRUE(trace.has("(smsess, N) Problem with TCP/IP Stream\n"));
}

TEST(Lifecycle, EndsOnceAndReleasesEverything) {
    SessionDesc* s = smNewSession();
    ASSERT_NE(s, nullptr);
    ScriptTransport t;
    t.install(s);
    s->state = kSmReady;
    smTerminate(s, kSmEndProtocol);
    smTerminate(s, kSmEndConnection);
    smCloseSession(s);
    EXPECT_EQ(s->termReason, kSmEndProtocol) << "the first reason stays";
    EXPECT_EQ(s->state, kSmIdle);
    memcpy(s->sessionKey, "\x5e\x55\x10\x4e\x4b\xe7\x01\x02", 8);
    const size_t keyAt = static_cast<size_t>(s->sessionKey - reinterpret_cast<unsigned char*>(s));
    smFreeSession(s);
    EXPECT_EQ(t.closes, 1);
    EXPECT_EQ(t.releases, 1);
    EXPECT_EQ(smFreeSession(nullptr), 0);
    // The session key does not outlive the session in the memory it leaves.
    if (auto left = leftInNextBlock(sizeof(SessionDesc), s)) {
        const unsigned char* key = left->data() + keyAt - 2 * sizeof(void*);
        EXPECT_EQ(std::count(key, key + 8, 0), 8);
    }
}

TEST(Open, FailedConnectReturnsTwoWithTheSentence) {
    TraceCapture trace;
    SessionHolder s;
    char host[] = "NoSuchHost.invalid";
    char id[] = "admin";
    char pw[] = "secret";
    EXPECT_EQ(smOpenSession(s.s, host, "1500", id, pw), kSmSessionFailure);
    EXPECT_STREQ(s->lastError, "Unable to resolve hostname nosuchhost.invalid");
    EXPECT_TRUE(trace.has("(smsess, N)Tcp Session Error -> Unable to resolve hostname"));
    EXPECT_EQ(smOpenSession(nullptr, host, "1500", id, pw), kSmSessionFailure);
}

}  // namespace
