// The authentication handshake against a scripted server that plays its side with the project's
// own DES: the answers the simulator cannot be made to send, and the trace lines. (Agreement, a
// wrong challenge and a refused final answer are checked against the simulator.)
#include "session/smsec.h"

#include <gtest/gtest.h>

#include "script_server.h"

namespace {

TEST(Authenticate, OutcomesAndTheirReasons) {
    using Bend = void (*)(HonestServer&, ScriptTransport&);
    struct Case {
        const char* what;
        Bend bend;
        const char* password;
        int result;
        SmEndReason reason;
        const char* trace;
    };
    const Case cases[] = {
        {"data area at an offset", [](HonestServer& p, ScriptTransport&) { p.dataOffset = 8; },
         "SECRET", 0, kSmNotEnded, nullptr},
        {"wrong password", [](HonestServer&, ScriptTransport&) {}, "SECRET2", 5, kSmEndProtocol,
         "(smsec, N) Validation Keys missmatch!\n"},
        {"out of sequence", [](HonestServer& p, ScriptTransport&) { p.answerCode = 0x11; },
         "SECRET", -1, kSmEndProtocol, "(smsec, N) Message out of sequence 17"},
        {"final of another code", [](HonestServer& p, ScriptTransport&) { p.finalCode = 0x16; },
         "SECRET", -1, kSmNotEnded, nullptr},
        {"final too short for its verdict",
         [](HonestServer& p, ScriptTransport&) { p.finalLength = 11; }, "SECRET", -1, kSmNotEnded,
         nullptr},
        {"data area short", [](HonestServer& p, ScriptTransport&) { p.dataLength = 15; }, "SECRET",
         -1, kSmEndProtocol, "data area"},
        {"data area past the verb", [](HonestServer& p, ScriptTransport&) { p.verbLength = 23; },
         "SECRET", -1, kSmEndProtocol, "data area"},
        {"offset past the verb",
         [](HonestServer& p, ScriptTransport&) {
             p.dataOffset = 0xFFF0;
             p.verbLength = 40;
         },
         "SECRET", -1, kSmEndProtocol, "data area"},
        {"empty password", [](HonestServer&, ScriptTransport&) {}, "", -1, kSmNotEnded,
         "no password"},
        {"first send fails", [](HonestServer&, ScriptTransport& t) { t.failSendAt = 0; }, "SECRET",
         -1, kSmEndConnection, nullptr},
        {"second send fails", [](HonestServer&, ScriptTransport& t) { t.failSendAt = 1; }, "SECRET",
         -1, kSmEndConnection, nullptr},
        {"silent server", [](HonestServer&, ScriptTransport& t) { t.peer = nullptr; }, "SECRET", -1,
         kSmEndConnection, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TraceCapture trace;
        Scripted w;
        HonestServer peer;
        w.t.peer = [&peer](ScriptTransport& t) { peer(t); };
        c.bend(peer, w.t);
        EXPECT_EQ(smAuthenticate(w.s.s, reinterpret_cast<const unsigned char*>(c.password),
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
