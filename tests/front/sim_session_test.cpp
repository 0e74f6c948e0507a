// Whole requests against the server simulator on 127.0.0.1: the relayed page compared byte for
// byte, the start page, a POST form, the error pages of a failed session set-up, and a server that
// misbehaves on purpose in every way the simulator knows.
#include <gtest/gtest.h>

#include <chrono>

#include "common/deadline.h"
#include "front_testing.h"
#include "tests/support/sim_process.h"

namespace {

using fronttest::ProgramRun;
using fronttest::runGet;
using fronttest::Site;
using simtest::SimProcess;

// The proxy's folder with the simulator's administrator stored, as velk-sim knows it by default.
struct Proxy : Site {
    explicit Proxy(const std::string& password = "secret")
        : Site({"-proxyId=admin", "-proxyPassword=" + password, "-cgiUrl=/cgi-bin/velkproxy"}) {}
};

std::string serverOf(const SimProcess& sim) {
    return "SERVER=127.0.0.1:" + sim.portText();
}

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

TEST(SimSession, MebibytePageRelaysByteForByte) {
    SimProcess sim({});
    ASSERT_TRUE(sim.running());
    Proxy proxy;
    ProgramRun run = runGet(proxy.dir, serverOf(sim) + "&URL=/size/1048576");
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(run.out == relayedHead() + sizedBody(1048576))
        << "the page differs; got " << run.out.size() << " bytes";
}

TEST(SimSession, StartPageAndPostForm) {
    SimProcess sim({});
    ASSERT_TRUE(sim.running());
    Proxy proxy;
    (void)fronttest::runCommand(proxy.dir, {"-tcps=127.0.0.1", "-tcpp=" + sim.portText()});
    ProgramRun start = runGet(proxy.dir, "");
    EXPECT_EQ(start.out.rfind(relayedHead(), 0), 0u) << start.out;
    EXPECT_NE(start.out.find("/cgi-bin/velkproxy"), std::string::npos) << start.out;

    ProgramRun post =
        fronttest::runPost(proxy.dir, serverOf(sim) + "&URL=%2Fposted&node=n.1&contact=a%26b\r\n");
    EXPECT_EQ(post.status, 0);
    EXPECT_EQ(post.out.rfind(relayedHead(), 0), 0u) << post.out;
    EXPECT_NE(post.out.find("n.1"), std::string::npos) << post.out;
}

// A password typed into the setup form with every character that the query's own syntax uses is
// stored as typed, and the start page that follows the form signs on with it.
TEST(SimSession, PasswordTypedIntoTheSetupFormSignsOn) {
    SimProcess sim({"--admin-password", "p+w&x=%41 #\xE9"});
    ASSERT_TRUE(sim.running());
    Site proxy;
    ProgramRun run = runGet(proxy.dir,
                            "SETUP=SETUP&ID=admin&PSWD=p%2Bw%26x%3D%2541+%23%E9&DADDRESS=127.0.0.1"
                            "&DPORT=" +
                                sim.portText(),
                            {"REMOTE_USER=admin"});
    EXPECT_EQ(run.out.rfind(relayedHead(), 0), 0u) << run.out;
    EXPECT_EQ(fronttest::readStore(proxy.dir).password, "p+w&x=%41 #\xE9");
}

TEST(SimSession, SetUpFailuresShowTheirErrorPages) {
    struct Case {
        std::vector<std::string> simOptions;
        std::string password, report;
    };
    const Case cases[] = {
        {{},
         "wrong",
         "Proxy password has expired.  Please update the password on the VELK Web "
         "Administration server and the Proxy.\n"},
        {{"--no-proxy"},
         "secret",
         "The VELK Web Administration server you were attempting to send this request to does "
         "not support the proxy protocol.\n"},
    };
    for (const Case& c : cases) {
        SimProcess sim(c.simOptions);
        ASSERT_TRUE(sim.running());
        Proxy proxy(c.password);
        ProgramRun run = runGet(proxy.dir, serverOf(sim) + "&URL=/");
        EXPECT_EQ(run.status, 255) << c.report;
        EXPECT_NE(run.out.find("<h2>Error!</h2>" + c.report), std::string::npos) << run.out;
    }
}

struct HostileCase {
    const char* mode;  // the --hostile= value
    int status;
    const char* says;  // a sentence of the error page, or of the relayed page
};

// One mode per road: set-up failures end the request with status 255; a failure after the command
// has been sent has its error page written by the relay, which ends with 0.
constexpr char kError[] = "<h2>Error!</h2>";
const HostileCase kHostile[] = {
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
ProgramRun runStalled(const Proxy& proxy, const std::string& query) {
    return fronttest::runChild("", [&] {
        if (chdir(proxy.dir.path().c_str()) != 0) return 126;
        setenv("KORPROXY_REGISTRY", proxy.dir.file("registry.db").c_str(), 1);
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
    SimProcess sim({std::string("--hostile=") + c.mode});
    ASSERT_TRUE(sim.running());
    Proxy proxy;
    std::string query = serverOf(sim) + "&URL=/size/300";
    auto started = std::chrono::steady_clock::now();
    bool stalls = std::string(c.mode).starts_with("stall");
    ProgramRun run = stalls ? runStalled(proxy, query) : runGet(proxy.dir, query);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_EQ(run.status, c.status) << run.out;
    fronttest::expectOneCgiAnswer(run, c.mode);
    EXPECT_NE(run.out.find(c.says), std::string::npos) << run.out;
}

INSTANTIATE_TEST_SUITE_P(Modes, HostileServer, ::testing::ValuesIn(kHostile), [](const auto& info) {
    std::string name = info.param.mode;
    for (char& c : name) c = isalnum(c) ? c : '_';
    return name;
});

}  // namespace
