// Whole requests against the server simulator on 127.0.0.1: the relayed page compared byte for
// byte, the start page, a POST form, and one well-formed page from a server that refuses the
// session or misbehaves on purpose in every way the simulator knows.
#include <gtest/gtest.h>

#include <chrono>

#include "common/deadline.h"
#include "front_testing.h"

namespace {

using namespace fronttest;

// The simulator's /size/N page: its header lines, then N bytes of numbered filler lines.
std::string sizedBody(size_t bytes) {
    const char fill[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-";
    std::string body = "<!DOCTYPE html>\n<html><head><title>" + std::to_string(bytes) +
                       " bytes</title></head><body><pre>\n";
    const std::string tail = "</pre></body></html>\n";
    for (size_t i = 0, n = bytes - body.size() - tail.size(); i < n; ++i) {
        body.push_back(i % 64 == 63 ? '\n' : fill[i % 64]);
    }
    return body + tail;
}

// The proxy's header, then the server's three header lines as the relay leaves them: blanks up to
// each line feed.
std::string relayedHead() {
    return "Content-type: text/html\nProxy: KORPROXY/" + std::string(productVersion) + "\n\n\n" +
           std::string(15, ' ') + "\n" + std::string(17, ' ') + "\n" + std::string(23, ' ') +
           "\n\n";
}

// A password typed into the setup form with every character that the query's own syntax uses is
// stored as typed, and the start page that follows the form signs on with it, as does the default
// server's start page after it; a mebibyte page relays byte for byte, and so does a POST form.
TEST(SimSession, SetupPasswordSignsOnAndPagesAndPostFormsRelayWhole) {
    const std::string password = "p+w&x=%41 #\xE9";
    SimProxy proxy({"--admin-password", password});
    ASSERT_TRUE(proxy.sim.running());
    const std::string setup =
        "SETUP=SETUP&ID=admin&PSWD=p%2Bw%26x%3D%2541+%23%E9&DADDRESS=127.0.0.1";
    for (const ProgramRun& start :
         {runGet(proxy.site.dir, setup + "&DPORT=" + proxy.sim.portText(), {"REMOTE_USER=admin"}),
          runGet(proxy.site.dir, "")}) {
        EXPECT_EQ(start.out.rfind(relayedHead(), 0), 0u) << start.out;
        EXPECT_TRUE(holds(start.out, "/cgi-bin/velkproxy"));
    }
    EXPECT_EQ(readStore(proxy.site.dir).password, password);

    ProgramRun run = runGet(proxy.site.dir, proxy.server() + "&URL=/size/1048576");
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(run.out == relayedHead() + sizedBody(1048576))
        << "the page differs; got " << run.out.size() << " bytes";
    ProgramRun post =
        runPost(proxy.site.dir, proxy.server() + "&URL=%2Fposted&node=n.1&contact=a%26b\r\n");
    EXPECT_EQ(post.status, 0);
    EXPECT_EQ(post.out.rfind(relayedHead(), 0), 0u) << post.out;
    EXPECT_TRUE(holds(post.out, "n.1"));
}

// One mode per road: set-up failures end the request with status 255; a failure after the command
// has been sent has its error page written by the relay, which ends with 0.
struct HostileCase {
    const char* mode;  // the --hostile= value, or a switch of its own
    int status;
    const char* says;  // a sentence of the error page, or of the relayed page
};

constexpr char kError[] = "<h2>Error!</h2>";
const HostileCase kHostile[] = {
    // A server that knows another password for the administrator, or no proxy sessions.
    {"--admin-password=other", 255,
     "<h2>Error!</h2>Proxy password has expired.  Please update the password on the VELK Web "
     "Administration server and the Proxy.\n"},
    {"--no-proxy", 255,
     "<h2>Error!</h2>The VELK Web Administration server you were attempting to send this request "
     "to does not support the proxy protocol.\n"},
    {"random", 255, kError},
    {"truncated:auth", 255, kError},
    {"absurd-length", 255, kError},
    {"random:response", 0, kError},
    {"truncated:response", 0, kError},
    {"absurd-length:response", 0, "Unable to allocate a memory!"},
    {"short-page", 0, "Recieve of page aborted"},
    {"truncated:page", 0, "Recieve of page aborted"},
    {"random:page", 0, "Proxy: KORPROXY/"},
    {"one-byte", 0, "300 bytes"},
    {"stall:auth", 255, kError},
    {"stall:response", 0, "Command issued against the server failed."},
    {"stall", 0, "Recieve of page aborted"},
};

// A stalled server would hold the built program for the request's limits, so a stall runs the
// program's own code in a child process whose limits are shortened; the time-out of each
// operation stays far longer, so only the limits can end it.
ProgramRun runStalled(const TempDir& dir, const std::string& query) {
    return runChild("", [&] {
        if (chdir(dir.path().c_str()) != 0) return 126;
        setenv("KORPROXY_REGISTRY", dir.file("registry.db").c_str(), 1);
        setenv("REQUEST_METHOD", "GET", 1);
        setenv("QUERY_STRING", query.c_str(), 1);
        deadlineSetLimits({700, 1400});
        char name[] = "korproxy";
        char* argv[] = {name, nullptr};
        int status = korproxyMain(1, argv);
        fflush(stdout);
        return status;
    });
}

class HostileServer : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileServer, AnswersWithOneWellFormedPage) {
    const HostileCase& c = GetParam();
    const std::string mode = c.mode;
    SimProxy proxy({mode.starts_with("--") ? mode : "--hostile=" + mode});
    ASSERT_TRUE(proxy.sim.running());
    std::string query = proxy.server() + "&URL=/size/300";
    auto started = std::chrono::steady_clock::now();
    ProgramRun run = mode.starts_with("stall") ? runStalled(proxy.site.dir, query)
                                               : runGet(proxy.site.dir, query);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_EQ(run.status, c.status) << run.out;
    expectOneCgiAnswer(run, c.mode);
    EXPECT_TRUE(holds(run.out, c.says));
}

INSTANTIATE_TEST_SUITE_P(Modes, HostileServer, ::testing::ValuesIn(kHostile), [](const auto& info) {
    std::string name = info.param.mode;
    for (char& c : name) c = isalnum(c) ? c : '_';
    return name;
});

}  // namespace
