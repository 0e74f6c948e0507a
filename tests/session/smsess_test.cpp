// The descriptor's lifecycle and the command exchange of a ready session, over a scripted
// transport. (Commands and pages enciphered for real are checked against the simulator.)
#include "session/smsess.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <numeric>
#include <tuple>
#include <vector>

#include "common/limits.h"
#include "script_server.h"
#include "tests/support/released_memory.h"

namespace {

const unsigned char kKey[8] = {0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1};

struct Ready : Scripted {
    explicit Ready(int secure = 1) {
        s->state = kSmReady;
        s->secure = secure;
        memcpy(s->sessionKey, kKey, 8);
    }
};

TEST(Command, RefusedUnlessReadyAndSecure) {
    Ready notReady;
    notReady.s->state = kSmProxyStarted;
    EXPECT_EQ(smSendCommand(notReady.s, "BYE", 3), kSmNotReady);
    unsigned char page[8];
    EXPECT_EQ(smRecvData(notReady.s, page, 4), kSmNotReady);
    EXPECT_EQ(notReady.t.sends + notReady.t.receives, 0);

    Ready insecure(0);
    EXPECT_EQ(smSendCommand(insecure.s, "BYE", 3), kSmSessionFailure);
    EXPECT_EQ(insecure.t.sends, 0);

    Ready dropping;
    dropping.t.failSendAt = 0;
    EXPECT_EQ(smSendCommand(dropping.s, "BYE", 3), kSmSessionFailure);
    EXPECT_EQ(dropping.s->termReason, kSmEndConnection);
    EXPECT_EQ(dropping.t.closes, 1);
}

TEST(Response, ReadsToTheZeroByteAndDropsEndTheSessionOnlyOnceBytesCame) {
    const std::tuple<std::string, int, SmEndReason, std::string> cases[] = {
        {std::string("RC_ERROR\0page", 13), -22, kSmNotEnded, "page"},  // nothing past the zero
        {"", -1, kSmNotEnded, ""},
        {"RC_O", -1, kSmEndConnection, ""}};
    for (const auto& [queued, rc, reason, left] : cases) {
        Ready r;
        r.t.queue(queued);
        uint32_t amount = 77;
        EXPECT_EQ(smRecvResponse(r.s, &amount), rc) << queued;
        EXPECT_EQ(amount, 77u);
        EXPECT_EQ(r.s->termReason, reason);
        EXPECT_EQ(r.s->state, reason == kSmNotEnded ? kSmReady : kSmIdle);
        EXPECT_EQ(std::accumulate(r.t.incoming.begin(), r.t.incoming.end(), std::string()), left);
    }
}

// The trace shows the kept line on one line of its own, whatever control characters it holds; a
// line one byte longer than the bound ends the session and reading stops there.
TEST(Response, OverlongLineIsCutThenBounded) {
    const std::string kept = "RC_OK 5\n(x, 1)" + std::string(241, ' ');  // 255 characters
    for (size_t past : {0, 1}) {
        TraceCapture trace;
        Ready r;
        r.t.queue(kept + std::string(kResponseLineDropMax + past, '9') + '\0');
        uint32_t amount = 0;
        EXPECT_EQ(smRecvResponse(r.s, &amount), past ? -1 : 0);
        EXPECT_EQ(r.s->termReason, past ? kSmEndProtocol : kSmNotEnded);
        EXPECT_EQ(r.t.incoming.front(), std::string(past, '\0')) << "reading stops at the bound";
        EXPECT_EQ(amount, past ? 0u : 5u) << "the dropped digits are not part of the number";
        EXPECT_EQ(trace.has("server response is (RC_OK 5\\x0A(x, N)" + kept.substr(14) + ")\n"),
                  !past);
    }
}

size_t residentPages(void* block, size_t size) {
    const size_t pageSize = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> resident((size + pageSize - 1) / pageSize);
    if (mincore(block, size, resident.data()) != 0) return SIZE_MAX;
    return static_cast<size_t>(std::count_if(resident.begin(), resident.end(),
                                             [](unsigned char page) { return page & 1; }));
}

// A server may announce a large page and then send little of it: only the memory that arriving
// bytes reach may become resident, and the stream cut short ends the session. A whole page gets
// the zero byte behind it; nothing asked reads nothing.
TEST(PageData, OnlyWhatArrivesBecomesResident) {
    constexpr size_t kAnnounced = size_t{16} << 20;
    TraceCapture trace;
    for (bool complete : {false, true}) {
        Ready r(0);  // not secure: the bytes are kept as they came
        const std::string sent(complete ? 3000 : 2000, 'x');
        r.t.queue(sent);
        const int32_t amount = complete ? 3000 : static_cast<int32_t>(kAnnounced);
        void* block = mmap(nullptr, kAnnounced + 1, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(block, MAP_FAILED);
        auto* bytes = static_cast<unsigned char*>(block);
        bytes[amount] = 'z';
        EXPECT_EQ(smRecvData(r.s, bytes, 0), 0);
        EXPECT_EQ(smRecvData(r.s, bytes, -3), 0);
        EXPECT_EQ(r.t.receives, 0);
        EXPECT_EQ(smRecvData(r.s, bytes, amount), complete ? amount : -1);
        EXPECT_EQ(r.s->termReason, complete ? kSmNotEnded : kSmEndConnection);
        EXPECT_LE(residentPages(block, kAnnounced + 1), 2u) << "complete " << complete;
        if (complete) {
            EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), sent.size()), sent);
            EXPECT_EQ(bytes[amount], 0) << "the zero byte behind the page";
        }
        munmap(block, kAnnounced + 1);
    }
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
    Scripted w;
    SessionDesc* s = w.s;
    char host[] = "NoSuchHost.invalid", id[] = "admin", pw[] = "secret";
    EXPECT_EQ(smOpenSession(s, host, "1500", id, pw), kSmSessionFailure);
    EXPECT_STREQ(s->lastError, "Unable to resolve hostname nosuchhost.invalid");
    EXPECT_TRUE(trace.has("(smsess, N)Tcp Session Error -> Unable to resolve hostname"));
    EXPECT_EQ(smOpenSession(nullptr, host, "1500", id, pw), kSmSessionFailure);
}

}  // namespace
