// The authentication handshake against the scripted honest server, bent where the simulator cannot
// be made to misbehave, and the trace lines. (Agreement, a wrong challenge and a refused final
// answer are checked against the simulator.)
#include "session/smsec.h"

#include <gtest/gtest.h>

#include "script_server.h"

namespace {

TEST(Authenticate, OutcomesAndTheirReasons) {
    struct Case {
        const char* what;
        HonestServer server;
        int result = -1;
        SmEndReason reason = kSmEndProtocol;
        const char* trace = nullptr;
        const char* password = "SECRET";
        int failSendAt = -1;
    };
    const Case cases[] = {
        {"data area at an offset", {.dataOffset = 8}, 0, kSmNotEnded},
        {"wrong password", {}, 5, kSmEndProtocol, "Validation Keys missmatch!\n", "SECRET2"},
        {"out of sequence", {.answerCode = 0x11}, -1, kSmEndProtocol, "out of sequence 17"},
        {"final of another code", {.finalCode = 0x16}, -1, kSmNotEnded},
        {"final too short for its verdict", {.finalLength = 11}, -1, kSmNotEnded},
        {"data area short", {.dataLength = 15}, -1, kSmEndProtocol, "data area"},
        {"data area past the verb", {.verbLength = 23}, -1, kSmEndProtocol, "data area"},
        {"offset outside", {.dataOffset = 0xFFF0, .verbLength = 40}, -1, kSmEndProtocol, "area"},
        {"empty password", {}, -1, kSmNotEnded, "no password", ""},
        {"first send fails", {}, -1, kSmEndConnection, nullptr, "SECRET", 0},
        {"second send fails", {}, -1, kSmEndConnection, nullptr, "SECRET", 1},
        {"silent server", {.step = 4}, -1, kSmEndConnection},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TraceCapture trace;
        Scripted w;
        HonestServer peer = c.server;
        w.t.peer = [&peer](ScriptTransport& t) { peer(t); };
        w.t.failSendAt = c.failSendAt;
        EXPECT_EQ(smAuthenticate(w.s, reinterpret_cast<const unsigned char*>(c.password),
                                 static_cast<int32_t>(strlen(c.password))),
                  c.result);
        EXPECT_EQ(w.s->termReason, c.reason);
        if (c.result == 0) {
            EXPECT_EQ(w.s->secure, 1);
            EXPECT_TRUE(peer.message3Valid);
            EXPECT_EQ(memcmp(w.s->sessionKey, peer.sessionKey, 8), 0);
            // Equal blocks would let a guess at the password be checked offline.
            EXPECT_NE(memcmp(peer.sessionKey, peer.clientChallenge, 8), 0);
        }
        if (c.trace != nullptr) {
            EXPECT_TRUE(trace.has(c.trace)) << trace.text();
        }
    }
}

}  // namespace
