// The whole program against a server that misbehaves on purpose: every hostile mode of the
// simulator ends in one well-formed CGI answer (an error page, or the page itself where the
// misbehaviour is only a matter of pieces) and the exit status of its road.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "front/korproxy.h"
#include "front/korproxy_errpage.h"
#include "net/tcpcomm.h"
#include "program_run.h"
#include "sim_process.h"

namespace {

using fronttest::Proxy;
using fronttest::Simulator;

constexpr char kErrorPageHead[] = "Content-type: text/html\n\r\n";
constexpr char kRelayHead[] = "Content-type: text/html\nProxy: KORPROXY/";
const std::string kErrorPageFoot = std::string("<br><i>") + kLegalNotice + "</i>\n";

// One CGI answer: a single header block, then either one whole error page or the relayed page.
void expectOneCgiAnswer(const std::string& out) {
    EXPECT_EQ(out.find("Content-type: text/html\n", 1), std::string::npos) << out;
    if (out.rfind(kErrorPageHead, 0) == 0) {
        size_t error = out.find("<h2>Error!</h2>");
        ASSERT_NE(error, std::string::npos) << out;
        EXPECT_EQ(out.find("<h2>Error!</h2>", error + 1), std::string::npos) << out;
        ASSERT_GE(out.size(), kErrorPageFoot.size());
        EXPECT_EQ(out.substr(out.size() - kErrorPageFoot.size()), kErrorPageFoot) << out;
        return;
    }
    ASSERT_EQ(out.rfind(kRelayHead, 0), 0u) << out;
    EXPECT_NE(out.find("\n\n\n"), std::string::npos) << out;
}

struct HostileCase {
    const char* name;
    std::string mode;
    int status;
    const char* says;  // a sentence of the error page, or of the relayed page
};

// Set-up failures end the request with status 255; a failure after the command has been sent has
// its error page written by the relay, which ends with 0.
const HostileCase kCases[] = {
    {"RandomIdentify", "--hostile=random", 255, "<h2>Error!</h2>"},
    {"RandomProxyAnswer", "--hostile=random:proxy", 255, "<h2>Error!</h2>"},
    {"RandomFinalAnswer", "--hostile=random:final", 255, "<h2>Error!</h2>"},
    {"TruncatedIdentify", "--hostile=truncated", 255, "<h2>Error!</h2>"},
    {"TruncatedAuthAnswer", "--hostile=truncated:auth", 255, "<h2>Error!</h2>"},
    {"AbsurdIdentifyLength", "--hostile=absurd-length", 255, "<h2>Error!</h2>"},
    {"AbsurdAuthLength", "--hostile=absurd-length:auth", 255, "<h2>Error!</h2>"},
    {"RandomResponseLine", "--hostile=random:response", 0, "<h2>Error!</h2>"},
    {"TruncatedResponseLine", "--hostile=truncated:response", 0, "<h2>Error!</h2>"},
    {"AbsurdPageLength", "--hostile=absurd-length:response", 0, "Unable to allocate a memory!"},
    {"ShortPage", "--hostile=short-page", 0, "Recieve of page aborted"},
    {"TruncatedPage", "--hostile=truncated:page", 0, "Recieve of page aborted"},
    {"RandomPage", "--hostile=random:page", 0, "Content-type: text/html\nProxy: KORPROXY/"},
    {"OneBytePieces", "--hostile=one-byte", 0, "300 bytes"},
};

class HostileServer : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileServer, AnswersWithOneWellFormedPage) {
    const HostileCase& c = GetParam();
    Simulator sim({c.mode});
    ASSERT_FALSE(sim.address().empty());
    Proxy proxy;
    fronttest::ProgramRun run =
        fronttest::runGet(proxy.dir, "SERVER=" + sim.address() + "&URL=/size/300");
    EXPECT_EQ(run.status, c.status) << run.out;
    expectOneCgiAnswer(run.out);
    EXPECT_NE(run.out.find(c.says), std::string::npos) << run.out;
}

INSTANTIATE_TEST_SUITE_P(Modes, HostileServer, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The program's own code in a child process whose time-outs are shortened, as a stalled server
// would otherwise hold the request for the full I/O time-out.
fronttest::ProgramRun runGetWithTimeouts(const Proxy& proxy, const std::string& query,
                                         int ioMillis) {
    fronttest::ProgramRun run;
    int fds[2];
    if (pipe(fds) != 0) return run;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        if (chdir(proxy.dir.path().c_str()) != 0) _exit(126);
        setenv("KORPROXY_REGISTRY", proxy.dir.file("registry.db").c_str(), 1);
        setenv("REQUEST_METHOD", "GET", 1);
        setenv("QUERY_STRING", query.c_str(), 1);
        TcpTimeouts timeouts = tcpGetTimeouts();
        timeouts.ioMillis = ioMillis;
        tcpSetTimeouts(timeouts);
        char name[] = "korproxy";
        char* argv[] = {name, nullptr};
        int status = korproxyMain(1, argv);
        fflush(stdout);
        _exit(status & 0xFF);
    }
    close(fds[1]);
    char chunk[4096];
    for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0;) run.out.append(chunk, n);
    close(fds[0]);
    int wstatus = 0;
    if (pid > 0 && waitpid(pid, &wstatus, 0) == pid && WIFEXITED(wstatus)) {
        run.status = WEXITSTATUS(wstatus);
    }
    return run;
}

TEST(HostileServerStall, StalledAnswersEndInTheirErrorPageWithinTheTimeOut) {
    struct Stall {
        std::string mode;
        int status;
        const char* says;
    };
    const Stall stalls[] = {
        {"--hostile=stall:identify", 255, "<h2>Error!</h2>"},
        {"--hostile=stall:auth", 255, "<h2>Error!</h2>"},
        {"--hostile=stall:response", 0, "Command issued against the server failed."},
        {"--hostile=stall", 0, "Recieve of page aborted"},
    };
    for (const Stall& s : stalls) {
        Simulator sim({s.mode});
        ASSERT_FALSE(sim.address().empty());
        Proxy proxy;
        auto started = std::chrono::steady_clock::now();
        fronttest::ProgramRun run =
            runGetWithTimeouts(proxy, "SERVER=" + sim.address() + "&URL=/size/5000", 700);
        auto took = std::chrono::steady_clock::now() - started;
        EXPECT_LT(took, std::chrono::seconds(10)) << s.mode;
        EXPECT_EQ(run.status, s.status) << s.mode << "\n" << run.out;
        expectOneCgiAnswer(run.out);
        EXPECT_NE(run.out.find(s.says), std::string::npos) << s.mode << "\n" << run.out;
    }
}

}  // namespace
