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

// Every result of an open comes from a switch of the simulator. On a ready session a page is
// fetched whole in ASCII and in EBCDIC and BYE ends the session; a server silent after the command
// ends the exchange within the shortened time-out.
TEST(SimSession, OpensByEverySwitchAndFetchesAMebibytePage) {
    struct Case {
        std::vector<std::string> args;
        int result;
        const char* password = "Secret";  // the password is not case-sensitive
    };
    const Case cases[] = {
        {{}, kSmOk},
        {{"--ebcdic"}, kSmOk},
        {{"--silent=response"}, kSmOk},
        {{"--no-proxy"}, kSmNoProxySupport},
        {{"--proxy-status", "2"}, kSmPasswordExpired},
        {{"--proxy-status", "3"}, kSmNoSuchAdmin},
        {{"--proxy-status", "11"}, kSmAdminLocked},
        {{"--proxy-status", "13"}, kSmOutOfMemory},
        {{"--proxy-status", "1"}, kSmSessionFailure},
        {{"--bad-challenge"}, kSmValidationMismatch},
        {{}, kSmValidationMismatch, "not-the-password"},
        {{"--out-of-sequence"}, kSmFailed},
        {{"--refuse-final"}, kSmFailed},
        {{"--short-answer=identify"}, kSmSessionFailure},
        {{"--short-answer=proxy"}, kSmSessionFailure},
        {{"--short-answer=auth"}, kSmFailed},
        {{"--bad-magic=identify"}, kSmSessionFailure},
        {{"--bad-magic=final"}, kSmFailed},
        {{"--silent=identify"}, kSmSessionFailure},
        {{"--silent=final"}, kSmFailed},
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
        if (session.rc != kSmOk) continue;
        const bool silent = !c.args.empty() && c.args[0] == "--silent=response";
        std::string page;
        uint32_t amount = 0;
        started = std::chrono::steady_clock::now();
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

}  // namespace
