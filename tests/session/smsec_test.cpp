// The authentication handshake against a scripted server that plays its side with the project's
// own DES.
#include "session/smsec.h"

#include <gtest/gtest.h>

#include "auth_peer.h"

namespace {

struct Handshake {
    SessionHolder s;
    ScriptTransport t;
    AuthPeer peer;
    Handshake() {
        t.install(s.s);
        t.peer = [this](ScriptTransport& tr) { peer(tr); };
    }
    int run(const char* password = "SECRET") {
        return smAuthenticate(s.s, reinterpret_cast<const unsigned char*>(password),
                              static_cast<int32_t>(strlen(password)));
    }
};

TEST(Authenticate, SamePasswordAgreesOnTheSessionKey) {
    Handshake h;
    ASSERT_EQ(h.run(), 0);
    EXPECT_TRUE(h.peer.message3Valid);
    EXPECT_EQ(memcmp(h.s->sessionKey, h.peer.sessionKey, 8), 0);
    EXPECT_EQ(h.s->secure, 1);
    EXPECT_EQ(h.s->termReason, kSmNotEnded);
    EXPECT_EQ(h.t.sent.size(), 48u);
    EXPECT_EQ(h.t.sent.substr(0, 8), std::string("\x00\x18\x16\xa5\x00\x00\x00\x10", 8));
}

TEST(Authenticate, RefusalsAndTheirReasons) {
    struct Case {
        const char* what;
        void (*bend)(AuthPeer&);
        const char* password;
        int result;
        SmEndReason reason;
        const char* trace;
    };
    const Case cases[] = {
        {"data area at an offset", [](AuthPeer& p) { p.dataOffset = 8; }, "SECRET", 0, kSmNotEnded,
         nullptr},
        {"wrong password", [](AuthPeer&) {}, "SECRET2", 5, kSmEndProtocol,
         "(smsec, N) Validation Keys missmatch!\n"},
        {"one bit flipped", [](AuthPeer& p) { p.flipBit = 63; }, "SECRET", 5, kSmEndProtocol,
         "Validation Keys missmatch!"},
        {"out of sequence", [](AuthPeer& p) { p.answerCode = 0x11; }, "SECRET", -1, kSmEndProtocol,
         "(smsec, N) Message out of sequence 17"},
        {"final refused", [](AuthPeer& p) { p.finalVerdict = 2; }, "SECRET", -1, kSmNotEnded,
         nullptr},
        {"final of another code", [](AuthPeer& p) { p.finalCode = 0x16; }, "SECRET", -1,
         kSmNotEnded, nullptr},
        {"final too short for its verdict", [](AuthPeer& p) { p.finalLength = 11; }, "SECRET", -1,
         kSmNotEnded, nullptr},
        {"data area short", [](AuthPeer& p) { p.dataLength = 15; }, "SECRET", -1, kSmEndProtocol,
         "data area"},
        {"data area past the verb", [](AuthPeer& p) { p.verbLength = 23; }, "SECRET", -1,
         kSmEndProtocol, "data area"},
        {"offset past the verb",
         [](AuthPeer& p) {
             p.dataOffset = 0xFFF0;
             p.verbLength = 40;
         },
         "SECRET", -1, kSmEndProtocol, "data area"},
    };
    for (const Case& c : cases) {
        TraceCapture trace;
        Handshake h;
        c.bend(h.peer);
        EXPECT_EQ(h.run(c.password), c.result) << c.what;
        EXPECT_EQ(h.s->termReason, c.reason) << c.what;
        if (c.trace != nullptr) {
            EXPECT_TRUE(trace.has(c.trace)) << c.what << trace.text();
        }
    }
}

TEST(Authenticate, TransportFailuresReturnMinusOne) {
    for (int failAt : {0, 1}) {
        Handshake h;
        h.t.failSendAt = failAt;
        EXPECT_EQ(h.run(), -1) << failAt;
        EXPECT_EQ(h.s->termReason, kSmEndConnection) << failAt;
    }
    Handshake silent;
    silent.t.peer = nullptr;
    EXPECT_EQ(silent.run(), -1);
    EXPECT_EQ(silent.s->termReason, kSmEndConnection);
}

}  // namespace
