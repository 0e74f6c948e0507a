// The simulator, driven over loopback by the program's own session layer (which shares none of
// the simulator's code for the wire), and its command line.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <thread>

#include "common/byteorder.h"
#include "crypto/des.h"
#include "tests/support/sim_session.h"

namespace {

using simtest::pageCommand;
using simtest::ProgramRun;
using simtest::SimProcess;
using simtest::SimSession;

ProgramRun runSim(std::vector<std::string> args) {
    args.insert(args.begin(), simtest::kSimulator);
    return simtest::runProgram(std::move(args));
}

constexpr char kHeaderLines[] = "HTTP/1.0 200 OK\nServer: VELK_HTTP\nContent-type: text/html\n\n";
constexpr uint32_t kHeaderBytes = sizeof kHeaderLines - 1;

// Every test gives up on a server that stops answering within seconds, not minutes.
class Simulator : public ::testing::Test {
  protected:
    void SetUp() override { tcpSetTimeouts({5000, 5000}); }
    void TearDown() override { tcpSetTimeouts({}); }
};

// Reads the raw socket until the server closes it (*closed) or sends nothing for `quietMillis`.
std::string readRaw(int fd, int quietMillis, bool* closed) {
    std::string got;
    char buffer[4096];
    pollfd p{fd, POLLIN, 0};
    *closed = false;
    while (poll(&p, 1, quietMillis) == 1) {
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            *closed = n == 0 || errno == ECONNRESET;
            break;
        }
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

// The pages a session asks for, each with its return code, its announced amount and texts it
// holds ("|" between them); then BYE ends the session.
TEST_F(Simulator, AnswersPageCommandsAndEndsOnBye) {
    SimProcess sim({"--admin-password", "MiXed9"});
    ASSERT_TRUE(sim.running());
    SimSession session(sim, "mixed9");  // the password is compared without regard to case
    ASSERT_EQ(session.rc, kSmOk);
    constexpr long long kAny = -1;  // any page size
    const std::string pool = "/class/pools/object/ARCHIVE.POOL%2F2004%2Ftape";
    struct Case {
        std::string command;
        int code;
        long long amount;  // the announced amount, or kAny
        std::string contains;
    };
    const Case cases[] = {
        // Links come back through the proxy, object names as one token.
        {pageCommand("/"), 0, kAny,
         "http://web.test/cgi-bin/velkproxy/korproxy?SERVER=" + sim.address() + "&amp;URL=" + pool +
             "\""},
        {pageCommand("/size/0"), 0, kHeaderBytes, ""},
        {pageCommand("/size/117"), 0, kHeaderBytes + 117, "117 bytes"},
        {pageCommand("/size/67108865"), -21, 0, ""},  // RC_SYNTAX 0
        {pageCommand("/size/12x"), -21, 0, ""},
        {pageCommand("/class/pools/object/ARCHIVE%2EPOOL%2F2004%2Ftape"), 0, kAny,
         "<code>ARCHIVE.POOL/2004/tape</code>|URL=" + pool + "/task/audit"},
        {pageCommand("/class/pools/object/ARCHIVE.POOL/2004/tape"), 1, 0, ""},
        {pageCommand("/class/nodes/object/file%20server%202/task/details"), 0, kAny,
         "file server 2|Windows"},
        {pageCommand("/class/schedules/object/nightly%2Eincr%2F02%3A00/task/audit"), 0, kAny,
         "0 inconsistencies"},
        {pageCommand("/class/schedules"), 0, kAny, "weekly.full%2Fsun"},
        {pageCommand("/form"), 0, kAny,
         "action=\"http://web.test/cgi-bin/velkproxy/korproxy\"|name=\"SERVER\"|"
         "name=\"URL\" value=\"/posted\""},
        {"HTML \"/posted\" POST=\"node=a.b%2Fc&notes=x+y%26z\" PROXYURL=/cgi\n", 0, kAny,
         "<td>a.b/c</td>|<td>x y&amp;z</td>|node=a.b%2Fc&amp;notes"},
        {pageCommand("/posted"), 0, kAny, "Nothing was posted"},
        {pageCommand("/nowhere"), 1, 0, ""},  // RC_NOTFOUND 0
        {"STATUS\n", -21, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        std::string page;
        uint32_t amount = 0;
        EXPECT_EQ(session.fetch(c.command, &page, &amount), c.code);
        EXPECT_TRUE(c.amount == kAny || amount == c.amount) << amount;
        if (c.code == 0) {
            EXPECT_EQ(page.substr(0, kHeaderBytes), kHeaderLines);
            EXPECT_EQ(page.find("Content-type", kHeaderBytes), std::string::npos)
                << "the body holds nothing the proxy would blank";
        }
        std::istringstream texts(c.contains);
        for (std::string text; std::getline(texts, text, '|');) {
            EXPECT_NE(page.find(text), std::string::npos) << text;
        }
    }
    ASSERT_EQ(smSendCommand(session.s, "BYE", 3), kSmOk);
    bool closed = false;
    EXPECT_EQ(readRaw(session.socket(), 5000, &closed), "");
    EXPECT_TRUE(closed);
    EXPECT_NE(sim.log().find("command: BYE"), std::string::npos);
    EXPECT_EQ(sim.log().find("MiXed9"), std::string::npos) << "the password is never logged";
}

// Commands have no framing, and a prefix cut inside a block deciphers (by the tail rule) to bytes
// of its own. The server must not take such a prefix that happens to look like a whole command:
// the test picks a command that has one under this session's key and sends it in small pieces.
TEST_F(Simulator, CommandArrivingInPiecesIsReadWhole) {
    SimProcess sim({});
    ASSERT_TRUE(sim.running());
    SimSession session(sim);
    ASSERT_EQ(session.rc, kSmOk);
    int on = 1;
    setsockopt(session.socket(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    uint32_t words[2];
    memcpy(words, session.s->sessionKey, 8);
    DesKeySchedule key;
    desSetKey(&key, words);
    auto cbc = [&](int32_t direction, std::string text) {
        desCbc(&key, direction, desFixedIv(), reinterpret_cast<unsigned char*>(text.data()),
               static_cast<uint32_t>(text.size()));
        return text;
    };
    auto looksWhole = [](const std::string& text) {
        return text.back() == '\n' && std::all_of(text.begin(), text.end() - 1, [](char c) {
                   return static_cast<unsigned char>(c) >= 0x20 && c != 0x7F;
               });
    };
    std::string cipher;
    for (int i = 0; cipher.empty() && i < 10000; ++i) {  // about one in 30 has one
        const std::string candidate = cbc(
            DES_ENCIPHER, "HTML /size/5 PROXYURL=/" + std::to_string(i) + "/cgi-bin/velkproxy\n");
        for (size_t n = 9; n < candidate.size() && cipher.empty(); ++n) {
            if (n % 8 != 0 && looksWhole(cbc(DES_DECIPHER, candidate.substr(0, n))))
                cipher = candidate;
        }
    }
    ASSERT_FALSE(cipher.empty());
    for (size_t piece : {1u, 3u}) {
        SCOPED_TRACE(piece);
        for (size_t at = 0; at < cipher.size(); at += piece) {
            size_t n = std::min(piece, cipher.size() - at);
            ASSERT_EQ(send(session.socket(), cipher.data() + at, n, MSG_NOSIGNAL),
                      static_cast<ssize_t>(n));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        uint32_t amount = 0;
        ASSERT_EQ(smRecvResponse(session.s, &amount), 0);
        ASSERT_EQ(amount, kHeaderBytes + 5);
        unsigned char page[kHeaderBytes + 6];
        ASSERT_EQ(smRecvData(session.s, page, static_cast<int32_t>(amount)),
                  static_cast<int32_t>(amount));
    }
}

TEST_F(Simulator, PrintPageGivesTheBytesASessionGets) {
    SimProcess sim({"--admin-id", "Op"});
    ASSERT_TRUE(sim.running());
    for (const char* url : {"/", "/class/pools/object/BACKUP%2EPOOL", "/size/3000"}) {
        SCOPED_TRACE(url);
        SimSession session(sim, "secret", "Op");
        std::string live;
        uint32_t amount = 0;
        ASSERT_EQ(session.fetch(pageCommand(url), &live, &amount), 0);
        ProgramRun printed = runSim(
            {"--listen", sim.address(), "--admin-id", "Op", "--print-page", pageCommand(url)});
        EXPECT_EQ(printed.status, 0);
        EXPECT_TRUE(printed.out == live) << printed.out.size() << " printed, " << live.size();
        EXPECT_EQ(printed.err, "RC_OK " + std::to_string(live.size()) + "\n");
    }
    ProgramRun missing = runSim({"--print-page", pageCommand("/nowhere")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "RC_NOTFOUND 0\n");
}

// What a faulty or hostile server sends, seen on the wire (the program's handling of each is
// checked end to end by the front's tests): the length or response line it announces, how many
// bytes follow, and whether it then closes the connection or holds it. A chosen return code comes
// without a page.
TEST_F(Simulator, FaultyAnswersShowOnTheWire) {
    struct Case {
        const char* option;
        const char* url;  // nullptr: the Identify answer
        std::string announced;
        size_t bytes;
        bool closes;
    };
    const std::string page1000 = "RC_OK " + std::to_string(kHeaderBytes + 1000);
    const Case cases[] = {
        {"--hostile=random", nullptr, "", 48, true},
        {"--hostile=truncated", nullptr, "48", 24, true},
        {"--hostile=absurd-length", nullptr, "4294967280", 56, false},
        {"--hostile=absurd-length:response", "/size/10", "RC_OK 4000000000", kHeaderBytes + 10,
         false},
        {"--hostile=short-page", "/size/100", "RC_OK " + std::to_string(kHeaderBytes + 1100),
         kHeaderBytes + 100, true},
        {"--hostile=stall", "/size/1000", page1000, (kHeaderBytes + 1000) / 2, false},
        {"--short-answer=page", "/size/1000", page1000, (kHeaderBytes + 1000) / 2, true},
        {"--silent=page", "/size/1000", page1000, 0, false},
        {"--rc=RC_INUSE", "/", "RC_INUSE 0", 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.option);
        SimProcess sim({c.option});
        ASSERT_TRUE(sim.running());
        bool closed = false;
        std::string got, announced;
        if (c.url == nullptr) {
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in to{AF_INET,
                           htons(static_cast<uint16_t>(std::stoi(sim.portText()))),
                           {htonl(INADDR_LOOPBACK)},
                           {}};
            ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
            ASSERT_EQ(send(fd, "\x00\x04\x1d\xa5", 4, MSG_NOSIGNAL), 4);
            got = readRaw(fd, 500, &closed);
            close(fd);
            const auto* verb = reinterpret_cast<const unsigned char*>(got.data());
            if (got.size() >= 12)  // code 8: the extended form, its length at byte 8
                announced = std::to_string(verb[2] == 8 ? getU32BE(verb + 8) : getU16BE(verb));
        } else {
            SimSession session(sim);
            ASSERT_EQ(session.rc, kSmOk);
            const std::string command = pageCommand(c.url);
            ASSERT_EQ(
                smSendCommand(session.s, command.data(), static_cast<int32_t>(command.size())),
                kSmOk);
            got = readRaw(session.socket(), 700, &closed);
            size_t end = got.find('\0');
            ASSERT_NE(end, std::string::npos);
            announced = got.substr(0, end);
            got.erase(0, end + 1);
        }
        EXPECT_TRUE(c.announced.empty() || announced == c.announced) << announced;
        EXPECT_EQ(got.size(), c.bytes);
        EXPECT_EQ(closed, c.closes);
    }
}

TEST_F(Simulator, ServesConnectionsAtOnce) {
    SimProcess sim({});
    ASSERT_TRUE(sim.running());
    constexpr int kClients = 8;
    std::vector<size_t> sizes(kClients);  // of each whole page, 0 when the fetch failed
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i) {
        threads.emplace_back([&, i] {
            SimSession session(sim);
            std::string page;
            uint32_t amount = 0;
            if (session.rc == kSmOk &&
                session.fetch(pageCommand("/size/65536"), &page, &amount) == 0)
                sizes[i] = page.size();
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(sizes, std::vector<size_t>(kClients, kHeaderBytes + 65536));
}

TEST(SimulatorCommandLine, HelpEndsWithZeroAndBadOptionsAreRefused) {
    const std::tuple<std::vector<std::string>, int, const char*> runs[] = {
        {{"--help"}, 0, "--hostile"},
        {{"--bogus"}, 2, "unknown option --bogus"},
        {{"--proxy-status", "256"}, 2, "--proxy-status"},
        {{"--listen", "127.0.0.1"}, 2, "--listen wants HOST:PORT"},
        {{"--listen", "127.0.0.1:65536"}, 2, "--listen wants HOST:PORT"},
        {{"--silent=nowhere"}, 2, "unknown answer 'nowhere'"},
        {{"--bad-magic=page"}, 2, "only verb answers"},
        {{"--admin-id", std::string(64, 'x')}, 2, "--admin-id"},
        {{"--ebcdic=1"}, 2, "takes no value"},
        {{"--rc"}, 2, "needs a value"},
        {{"--hostile=none"}, 2, "unknown mode 'none'"},
        {{"--hostile=random:nowhere"}, 2, "unknown answer 'nowhere'"},
        {{"--hostile=short-page:page"}, 2, "cannot be set on the page answer"},
        {{"--hostile=absurd-length:page"}, 2, "cannot be set on the page answer"},
    };
    for (const auto& [args, status, says] : runs) {
        ProgramRun run = runSim(args);
        EXPECT_EQ(run.status, status) << says;
        EXPECT_NE((status == 0 ? run.out : run.err).find(says), std::string::npos) << run.err;
    }
}

}  // namespace
