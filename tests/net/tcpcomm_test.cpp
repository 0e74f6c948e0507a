#include "net/tcpcomm.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "../session/trace_capture.h"
#include "common/deadline.h"
#include "net/tcpsocket.h"

namespace {

// A connection record over one end of a socket pair; the test holds the other end.
struct PairedConnection {
    TcpConnection conn;
    int peer = -1;
    PairedConnection() {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        conn.socket = fds[0];
        peer = fds[1];
    }
    ~PairedConnection() {
        tcpClose(&conn);
        if (peer >= 0) close(peer);
    }
    size_t wrote = 0, read = 0;  // how far the scripts' patterned bytes were sent and received
    // Everything the peer can read right now.
    std::string drainPeer() {
        std::string got;
        char buf[8192];
        ssize_t n;
        while ((n = recv(peer, buf, sizeof buf, MSG_DONTWAIT)) > 0) got.append(buf, n);
        return got;
    }
};

// A listening socket on 127.0.0.1 with a port chosen by the system.
struct Listener {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    std::string port;
    explicit Listener(int backlog = 8) {
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(listen(fd, backlog), 0);
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = std::to_string(ntohs(a.sin_port));
    }
    ~Listener() { close(fd); }
};

std::string dotted(uint32_t networkOrder) {
    in_addr a{networkOrder};
    return inet_ntoa(a);
}

// The dotted forms read as the address they give, and a dotted address is resolved as written
// while a name is lower-cased in place before the lookup.
TEST(TcpAddress, ParsesDottedFormsAndLowerCasesOnlyNames) {
    const std::pair<const char*, const char*> valid[] = {
        {"127.0.0.1", "127.0.0.1"},      {"10.1.2.3", "10.1.2.3"},
        {"0x7f.1", "127.0.0.1"},         {"0177.0.0.01", "127.0.0.1"},
        {"10.0x10203", "10.1.2.3"},      {"10.1.515", "10.1.2.3"},
        {"167838211", "10.1.2.3"},       {"0xA010203", "10.1.2.3"},
        {"1.16777215", "1.255.255.255"}, {"0", "0.0.0.0"}};
    for (auto [text, address] : valid) EXPECT_EQ(dotted(tcpParseDotted(text)), address) << text;
    for (const char* text :
         {"1.16777216", "1.2.65536", "256.1.1.1", "1.2.3.256", "1.2.3.4.5", "08", "1..2",
          "1.2.3.4.", "", "0x", "backuphost", "1.2.3.4 ", "4294967296", "255.255.255.255"}) {
        EXPECT_EQ(tcpParseDotted(text), 0xFFFFFFFFu) << text;
    }
    struct {
        char text[24];
        const char* after;
        const char* ip;  // "": the lookup fails
    } names[] = {{"LocalHost", "localhost", "127.0.0.1"},
                 {"0X7F.0.0.1", "0X7F.0.0.1", "127.0.0.1"},
                 {"BackupHost.invalid", "backuphost.invalid", ""},
                 {"", "", ""}};
    for (auto& c : names) {
        uint32_t ip = 0;
        EXPECT_EQ(tcpResolveAddress(c.text, &ip), *c.ip ? 0 : -1) << c.after;
        EXPECT_STREQ(c.text, c.after);
        EXPECT_EQ(*c.ip ? dotted(ip) : std::string(), c.ip);
    }
    // Port texts read as atoi reads them.
    const std::pair<const char*, uint16_t> cases[] = {
        {"1500", 1500}, {"1500abc", 1500}, {"", 0},       {"abc", 0},
        {"65537", 1},   {"  +80", 80},     {"-1", 65535}, {"99999999999", 59391}};
    for (auto [text, port] : cases) EXPECT_EQ(tcpPortFromText(text), port) << text;
}

TEST(TcpErrors, WordsEveryNumberAndDescribesAFault) {
    char text[kTcpErrorTextSize];
    EXPECT_EQ(tcpErrorText(10061, text, sizeof text), 0);
    EXPECT_STREQ(text, "The attempt to connect was forcefully rejected.");
    tcpErrorText(10054, text, sizeof text);
    EXPECT_STREQ(text, "Unknown TCP/IP error. Unrecognized return code: 10054");
    tcpErrorText(10035, text, sizeof text);
    EXPECT_EQ(strlen(text), 87u) << "the longest sentence must fit whole";
    // A fault is described in one trace line.
    const std::string head = "(tcpcomm, N)VELK Exception Information: Code = ";
    const std::tuple<uint32_t, uint64_t, std::string> cases[] = {
        {0xC0000005u, 1, "c0000005, Address = 7ffe1234Attempt to write data at address 10~"},
        {0xC0000005u, 0, "c0000005, Address = 7ffe1234Attempt to read data at address 10~"},
        {0xC0000094u, 1, "c0000094, Address = 7ffe1234~"}};
    for (const auto& [code, writeFlag, line] : cases) {
        TraceCapture trace;
        tcpDescribeFault(code, 0x7ffe1234u, writeFlag, 0x10u);
        EXPECT_EQ(trace.text(), head + line);
    }
}

// The bytes 0, 1, 2, ... (mod 251, so that a piece out of place shows).
std::string patterned(size_t n) {
    std::string bytes(n, '\0');
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(i % 251);
    return bytes;
}

// The `n` bytes of the pattern after `*at`, moving `*at` past them.
std::string nextPatterned(size_t* at, int n) {
    *at += static_cast<size_t>(n);
    return patterned(*at).substr(*at - static_cast<size_t>(n));
}

// Runs one step of a script and returns what it observed. A step is a letter, a number, bytes
// behind a colon and what is expected behind "=": "p:B" the peer sends B; "x" the peer closes; "g"
// what the peer has received; "s:B" tcpSend of B; "wN" tcpSend of the next N patterned bytes; "hN"
// whether the peer has received exactly the next N patterned bytes; "f" tcpFlush; "c" tcpClose;
// "rN" tcpReceive of up to N bytes (the bytes handed out, or -1); "q" the number of bytes pending.
std::string runStep(PairedConnection& p, const std::string& step) {
    char* after = nullptr;
    const int n = static_cast<int>(strtol(step.c_str() + 1, &after, 10));
    const std::string b = *after == ':' ? std::string(after + 1) : std::string();
    const auto* bytes = reinterpret_cast<const unsigned char*>(b.data());
    std::vector<unsigned char> got(static_cast<size_t>(std::max(n, 1)));
    switch (step[0]) {
        case 'p':
            return send(p.peer, bytes, b.size(), 0) == ssize_t(b.size()) ? "" : "short";
        case 'x':
            return close(std::exchange(p.peer, -1)) == 0 ? "" : "failed";
        case 'g':
            return p.drainPeer();
        case 'w': {
            const std::string next = nextPatterned(&p.wrote, n);
            return std::to_string(
                tcpSend(&p.conn, reinterpret_cast<const unsigned char*>(next.data()), n));
        }
        case 'h':
            return p.drainPeer() == nextPatterned(&p.read, n) ? "" : "other bytes";
        case 's':
            return std::to_string(tcpSend(&p.conn, bytes, static_cast<int32_t>(b.size())));
        case 'f':
            return std::to_string(tcpFlush(&p.conn));
        case 'c':
            tcpClose(&p.conn);
            return "";
        case 'q':
            return std::to_string(p.conn.fill - p.conn.buffer);
    }
    int took = tcpReceive(&p.conn, got.data(), n);
    return took < 0 ? "-1" : std::string(got.begin(), got.begin() + took);
}

// A full buffer is sent only when more bytes come and a large write goes in buffer loads, what
// stays pending going at the flush. What is pending is sent before anything is read, and what is
// read ahead is handed out before a failure, a time-out or end of stream is reported; a closed
// connection hands out nothing more.
TEST(TcpSendAndReceive, ScriptsOfSendsReceivesAndFailures) {
    struct Case {
        std::vector<std::string> steps;
        std::string trace;
        uint32_t lastError = 0;
    };
    const std::string sent = "(tcpcomm, N) tcpSend: ", error = "(tcpcomm, N) Tcp Recieve error. ";
    const std::string moved = " bytes moved into buffer\n";
    const Case cases[] = {
        {{"w4096=0", "q=4096", "h0", "f=0", "h4096"}, sent + "4096" + moved},
        {{"w4096=0", "w1=0", "q=1", "h4096", "f=0", "h1"},
         sent + "4096" + moved + sent + "1" + moved},
        {{"w10000=0", "q=1808", "h8192", "f=0", "h1808"},
         sent + "4096" + moved + sent + "4096" + moved + sent + "1808" + moved},
        {{"s:ping=0", "p:pong", "r16=pong", "g=ping", "x", "r16=-1"}, sent + "4" + moved},
        // A failed flush keeps what is pending and reads nothing of what waits.
        {{"p:x", "x", "s:lost?=0", "r4=-1", "q=5", "f=-1", "q=5"},
         sent + "5" + moved + error + " WSAError=32" + error + " WSAError=32",
         32},
        {{"p:0123456789", "r4=0123", "r4=4567", "r4=89", "r4=-1", "p:ab", "r1=a", "x", "r4=b",
          "r4=-1"},
         error + " WSAError=10060\n",
         kWsaEtimedout},
        // Once closed, only an empty send succeeds.
        {{"f=0", "p:abcdef", "r2=ab", "c", "c", "s=0", "s:b=-1", "f=-1", "r1=-1"}, ""},
    };
    tcpSetTimeouts({1000, 100});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.steps[0]);
        TraceCapture trace;
        PairedConnection p;
        for (const std::string& step : c.steps) {
            const size_t eq = step.find('=');
            const std::string expected = eq == std::string::npos ? "" : step.substr(eq + 1);
            EXPECT_EQ(runStep(p, step.substr(0, eq)), expected) << step;
        }
        EXPECT_EQ(trace.text(), c.trace);
        EXPECT_EQ(p.conn.lastError, c.lastError);
    }
    tcpSetTimeouts({});
}

TEST(TcpReceive, ServesPiecesOfAnySizeAcrossReadAheadRefills) {
    const std::string sent = patterned(3 * kTcpReceiveAheadSize + 1234);
    const int32_t pieceCycles[][4] = {
        {1024, 1024, 1024, 1024}, {1, 7, 1024, 3}, {70000, 1, 65535, 2}};
    for (const auto& pieces : pieceCycles) {
        PairedConnection p;
        std::thread writer([&] {
            EXPECT_EQ(send(p.peer, sent.data(), sent.size(), 0), static_cast<ssize_t>(sent.size()));
            shutdown(p.peer, SHUT_WR);
        });
        std::string got;
        std::vector<unsigned char> buf(70000);
        for (size_t i = 0; got.size() < sent.size() && i < sent.size(); ++i) {
            int32_t ask = pieces[i % 4];
            int n = tcpReceive(&p.conn, buf.data(), ask);
            ASSERT_GE(n, 1);
            ASSERT_LE(n, ask);
            got.append(reinterpret_cast<const char*>(buf.data()), static_cast<size_t>(n));
        }
        writer.join();
        EXPECT_EQ(got, sent) << "pieces of " << pieces[0] << ", " << pieces[1] << ", ...";
        EXPECT_EQ(tcpReceive(&p.conn, buf.data(), 1), -1) << "end of stream once all is handed out";
    }
}

// (The sentence of a name that does not resolve is checked through the session: smsess_test.)
TEST(TcpOpen, FailuresLeaveTheirSentence) {
    // A listener whose accept queue is full leaves further connects unanswered.
    Listener full(0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        fillers.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        (void)connect(fillers.back(), reinterpret_cast<sockaddr*>(&full.a), sizeof full.a);
    }
    usleep(100 * 1000);
    const std::string closedPort = Listener().port;
    const std::pair<std::string, std::string> cases[] = {
        {closedPort, "Connection to 127.0.0.1 port " + closedPort + " was refused.\n"},
        {full.port, "127.0.0.1 did not responsed in a resonable time.\n"}};
    tcpSetTimeouts({300, 300});
    for (const auto& [port, message] : cases) {
        Transport transport;
        char host[] = "127.0.0.1", error[256] = "";
        auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(tcpOpen(host, port.c_str(), &transport, error, sizeof error), -1);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
        EXPECT_EQ(error, message);
        EXPECT_EQ(transport.conn, nullptr);
    }
    tcpSetTimeouts({});
    for (int fd : fillers) close(fd);
}

// A server that sends a byte now and then satisfies every receive's own time-out; only the
// request's limits end the conversation, and a silent one ends at the receive's time-out.
TEST(TcpDeadline, TricklingServerIsCutOffAtTheRequestsLimits) {
    struct Case {
        const char* what;
        bool trickle, clockRunning, setupDone;
        int endsAfterMillis;
    };
    const Case cases[] = {
        {"silent, no request clock", false, false, false, 300},
        {"trickling during set-up", true, true, false, 600},
        {"trickling after set-up", true, true, true, 1000},
    };
    tcpSetTimeouts({1000, 300});
    deadlineSetLimits({600, 1000});
    for (const Case& c : cases) {
        Listener server;
        std::thread peer([&] {
            int fd = accept(server.fd, nullptr, nullptr);
            char byte = 'x';
            for (int i = 0; c.trickle && i < 200; ++i) {
                if (send(fd, &byte, 1, MSG_NOSIGNAL) != 1) break;
                usleep(50 * 1000);
            }
            if (!c.trickle) (void)recv(fd, &byte, 1, 0);  // until the client leaves
            close(fd);
        });
        auto started = std::chrono::steady_clock::now();
        if (c.clockRunning) deadlineStart();
        if (c.setupDone) deadlineSetupDone();
        Transport transport;
        char host[] = "127.0.0.1", error[256] = "";
        ASSERT_EQ(tcpOpen(host, server.port.c_str(), &transport, error, sizeof error), 0) << error;
        auto* conn = static_cast<TcpConnection*>(transport.conn);
        unsigned char buf[1];
        while (tcpReceive(conn, buf, 1) == 1 &&
               std::chrono::steady_clock::now() - started < std::chrono::seconds(5)) {
        }
        const auto took =
            (std::chrono::steady_clock::now() - started) / std::chrono::milliseconds(1);
        EXPECT_EQ(conn->lastError, kWsaEtimedout) << c.what;
        EXPECT_GE(took, c.endsAfterMillis - 20) << c.what;
        EXPECT_LT(took, c.endsAfterMillis + 400) << c.what;
        tcpRelease(conn);
        peer.join();
        deadlineStop();
    }
    tcpSetTimeouts({});
    deadlineSetLimits({});
}

}  // namespace
