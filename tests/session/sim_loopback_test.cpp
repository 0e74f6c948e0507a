// Whole sessions over real loopback connections to the simulator. Every wait is bounded.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/sim_session.h"

namespace {

using simtest::pageCommand;
using simtest::SimProcess;
using simtest::SimSession;

// A page is fetched whole in ASCII and in EBCDIC; a server silent after the command ends the
// exchange within the shortened time-out.
TEST(SimSession, FetchesAMebibytePageInAsciiAndEbcdicAndGivesUpOnSilence) {
    tcpSetTimeouts({2000, 500});
    for (const char* option : {"", "--ebcdic", "--silent=response"}) {
        SCOPED_TRACE(option);
        SimProcess sim(*option ? std::vector<std::string>{option} : std::vector<std::string>{});
        SimSession session(sim, "Secret");  // the password is not case-sensitive
        ASSERT_EQ(session.rc, kSmOk) << to_text(static_cast<SmResult>(session.rc));
        std::string page;
        uint32_t amount = 0;
        const bool silent = std::string(option) == "--silent=response";
        auto started = std::chrono::steady_clock::now();
        ASSERT_EQ(session.fetch(pageCommand("/size/1048576"), &page, &amount), silent ? -1 : 0);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
        if (silent) continue;
        EXPECT_GE(amount, 1048576u);
        EXPECT_LT(amount, 1048576u + 1024) << "header lines and the page only";
        EXPECT_EQ(page.rfind("HTTP/1.0 200 OK\nServer: VELK_HTTP\n", 0), 0u);
        EXPECT_EQ(smSendCommand(session.s, "BYE", 3), kSmOk);
        EXPECT_EQ(smCloseSession(session.s), 0);
        EXPECT_EQ(session.s->termReason, kSmEndClosedByProxy);
    }
    tcpSetTimeouts({});
}

TEST(SimSession, EveryOpenResultComesFromASwitch) {
    struct Case {
        std::vector<std::string> args;
        const char* password;
        int result;
    };
    const Case cases[] = {
        {{}, "secret", kSmOk},
        {{"--no-proxy"}, "secret", kSmNoProxySupport},
        {{"--proxy-status", "2"}, "secret", kSmPasswordExpired},
        {{"--proxy-status", "3"}, "secret", kSmNoSuchAdmin},
        {{"--proxy-status", "11"}, "secret", kSmAdminLocked},
        {{"--proxy-status", "13"}, "secret", kSmOutOfMemory},
        {{"--proxy-status", "1"}, "secret", kSmSessionFailure},
        {{"--bad-challenge"}, "secret", kSmValidationMismatch},
        {{}, "not-the-password", kSmValidationMismatch},
        {{"--out-of-sequence"}, "secret", kSmFailed},
        {{"--refuse-final"}, "secret", kSmFailed},
        {{"--short-answer=identify"}, "secret", kSmSessionFailure},
        {{"--short-answer=proxy"}, "secret", kSmSessionFailure},
        {{"--short-answer=auth"}, "secret", kSmFailed},
        {{"--bad-magic=identify"}, "secret", kSmSessionFailure},
        {{"--bad-magic=final"}, "secret", kSmFailed},
        {{"--silent=identify"}, "secret", kSmSessionFailure},
        {{"--silent=final"}, "secret", kSmFailed},
    };
    tcpSetTimeouts({2000, 500});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.empty() ? std::string(c.password) : c.args[0]);
        SimProcess sim(c.args);
        ASSERT_TRUE(sim.running());
        auto started = std::chrono::steady_clock::now();
        SimSession session(sim, c.password);
        EXPECT_EQ(session.rc, c.result);
        EXPECT_EQ(session.s->state == kSmReady, c.result == kSmOk);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    }
    tcpSetTimeouts({});
}

}  // namespace
