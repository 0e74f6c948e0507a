// Whole sessions over real loopback connections to the simulator, started as a child process on a
// port of the system's choosing. Every wait is bounded.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "net/tcpcomm.h"
#include "session/smsess.h"

namespace {

constexpr int kStartMillis = 10000;

// One velk-sim on 127.0.0.1:0; stopped and reaped when the test ends.
class Sim {
  public:
    explicit Sim(std::vector<std::string> args) {
        int out[2];
        if (pipe(out) != 0) return;
        std::string bin = std::string(KORPROXY_BIN_DIR) + "/velk-sim";
        args.insert(args.begin(), {bin, "--listen", "127.0.0.1:0", "--admin-id", "admin",
                                   "--admin-password", "secret", "--log", "/dev/null"});
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        port_ = readPort(out[0]);
        close(out[0]);
    }
    ~Sim() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    const std::string& port() const { return port_; }

  private:
    // The first line reads "listening on 127.0.0.1:PORT".
    static std::string readPort(int fd) {
        std::string line;
        char c;
        pollfd p{fd, POLLIN, 0};
        while (line.size() < 200 && poll(&p, 1, kStartMillis) == 1 && read(fd, &c, 1) == 1) {
            if (c == '\n') break;
            line += c;
        }
        size_t colon = line.rfind(':');
        return colon == std::string::npos ? "" : line.substr(colon + 1);
    }
    pid_t pid_ = -1;
    std::string port_;
};

struct Opened {
    SessionDesc* s = smNewSession();
    int rc = -99;
    Opened(const Sim& sim, const char* password = "secret") {
        char host[] = "127.0.0.1";
        char id[] = "admin";
        std::string pw = password;
        rc = smOpenSession(s, host, sim.port().c_str(), id, pw.data());
    }
    ~Opened() { smFreeSession(s); }
};

// Opens, fetches one page of `size` bytes and closes; returns the page.
std::string fetchPage(const Sim& sim, int size) {
    Opened o(sim, "Secret");  // the password is not case-sensitive
    EXPECT_EQ(o.rc, kSmOk) << to_text(static_cast<SmResult>(o.rc));
    if (o.rc != kSmOk) return "";
    std::string cmd = "HTML /size/" + std::to_string(size) + " PROXYURL=/cgi-bin/velkproxy\n";
    EXPECT_EQ(smSendCommand(o.s, cmd.data(), static_cast<int32_t>(cmd.size())), kSmOk);
    uint32_t amount = 0;
    EXPECT_EQ(smRecvResponse(o.s, &amount), 0);
    EXPECT_GE(amount, static_cast<uint32_t>(size));
    EXPECT_LT(amount, static_cast<uint32_t>(size) + 1024) << "header lines and the page only";
    std::vector<unsigned char> page(amount + 1);
    EXPECT_EQ(smRecvData(o.s, page.data(), static_cast<int32_t>(amount)),
              static_cast<int32_t>(amount));
    EXPECT_EQ(page[amount], 0);
    EXPECT_EQ(smSendCommand(o.s, "BYE", 3), kSmOk);
    EXPECT_EQ(smCloseSession(o.s), 0);
    EXPECT_EQ(o.s->termReason, kSmEndClosedByProxy);
    return std::string(page.begin(), page.begin() + amount);
}

TEST(SimSession, FetchesAMebibytePageInAsciiAndEbcdic) {
    for (bool ebcdic : {false, true}) {
        Sim sim(ebcdic ? std::vector<std::string>{"--ebcdic"} : std::vector<std::string>{});
        ASSERT_FALSE(sim.port().empty());
        std::string page = fetchPage(sim, 1024 * 1024);
        EXPECT_EQ(page.rfind("HTTP/1.0 200 OK", 0), 0u) << "ebcdic " << ebcdic;
        EXPECT_NE(page.find("Server: VELK_HTTP"), std::string::npos);
    }
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
    };
    for (const Case& c : cases) {
        Sim sim(c.args);
        ASSERT_FALSE(sim.port().empty());
        Opened o(sim, c.password);
        std::string what = c.args.empty() ? std::string(c.password) : c.args[0];
        EXPECT_EQ(o.rc, c.result) << what;
        EXPECT_EQ(o.s->state == kSmReady, c.result == kSmOk) << what;
    }
}

TEST(SimSession, SilentServerEndsWithinTheShortenedTimeout) {
    tcpSetTimeouts({2000, 500});
    for (const char* which : {"--silent=identify", "--silent=final", "--silent=response"}) {
        Sim sim({which});
        auto started = std::chrono::steady_clock::now();
        Opened o(sim);
        if (std::string(which) == "--silent=response") {
            ASSERT_EQ(o.rc, kSmOk);
            const char cmd[] = "HTML / PROXYURL=/cgi-bin/velkproxy\n";
            ASSERT_EQ(smSendCommand(o.s, cmd, sizeof cmd - 1), kSmOk);
            uint32_t amount = 0;
            EXPECT_EQ(smRecvResponse(o.s, &amount), -1);
        } else {
            EXPECT_NE(o.rc, kSmOk) << which;
        }
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5)) << which;
    }
    tcpSetTimeouts({});
}

}  // namespace
