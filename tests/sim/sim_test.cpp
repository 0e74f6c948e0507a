// The simulator, driven over loopback by the tests' own client.
#include <gtest/gtest.h>

#include <thread>

#include "common/byteorder.h"
#include "crypto/pxyutils.h"
#include "simclient.h"

namespace {

constexpr char kId[] = "admin";
constexpr char kPassword[] = "secret";
constexpr char kHeaderLines[] = "HTTP/1.0 200 OK\nServer: VELK_HTTP\nContent-type: text/html\n\n";
constexpr size_t kHeaderBytes = sizeof kHeaderLines - 1;

std::string getCommand(const std::string& url) {
    return "HTML " + url + " PROXYURL=http://web.test/cgi-bin/velkproxy\n";
}

TEST(Simulator, OpensASessionServesTheStartPageAndEndsOnBye) {
    SimProcess sim({});
    ASSERT_TRUE(sim.running());
    SimClient client(sim.port());
    ASSERT_TRUE(client.open(kId, kPassword));
    std::string page;
    std::string line = client.fetch(getCommand("/"), &page);
    ASSERT_EQ(line.substr(0, 6), "RC_OK ");
    EXPECT_EQ(announced(line), static_cast<long long>(page.size()));
    EXPECT_EQ(page.substr(0, kHeaderBytes), kHeaderLines);
    const std::string link = "http://web.test/cgi-bin/velkproxy/korproxy?SERVER=127.0.0.1:" +
                             std::to_string(sim.port()) + "&amp;URL=";
    EXPECT_NE(page.find(link + "/class/pools/object/ARCHIVE.POOL%2F2004%2Ftape\""),
              std::string::npos)
        << "links come back through the proxy, object names as one token";
    EXPECT_EQ(page.find("Content-type", kHeaderBytes), std::string::npos)
        << "the body holds nothing the proxy would blank";
    ASSERT_TRUE(client.sendCommand("BYE"));
    Bytes rest;
    EXPECT_TRUE(client.readUntilClosed(&rest));
    EXPECT_TRUE(rest.empty());
    EXPECT_NE(sim.log().find("command: BYE"), std::string::npos);
}

TEST(Simulator, PasswordIsComparedWithoutRegardToCase) {
    SimProcess sim({"--admin-id", "Op.Admin", "--admin-password", "MiXed9"});
    ASSERT_TRUE(sim.running());
    SimClient upper(sim.port());
    EXPECT_TRUE(upper.open("Op.Admin", "MIXED9"));
    SimClient lower(sim.port());
    EXPECT_TRUE(lower.open("Op.Admin", "mixed9"));
    EXPECT_EQ(sim.log().find("MiXed9"), std::string::npos) << "the password is never logged";
}

TEST(Simulator, EbcdicServerTakesIdAndPasswordInEbcdicAndCommandsInAscii) {
    SimProcess sim({"--ebcdic"});
    ASSERT_TRUE(sim.running());
    {
        SimClient client(sim.port());
        Bytes answer = client.identify();
        ASSERT_GE(answer.size(), 45u);
        EXPECT_EQ(answer[5], 0x16);
        Bytes asciiId = client.startProxy(kId);
        ASSERT_GE(asciiId.size(), 9u);
        EXPECT_EQ(asciiId[8], 3) << "an id left in ASCII is unknown to an EBCDIC server";
    }
    SimClient client(sim.port());
    ASSERT_TRUE(client.open(kId, kPassword, true));
    std::string page;
    EXPECT_EQ(client.fetch(getCommand("/size/100"), &page),
              "RC_OK " + std::to_string(100 + kHeaderBytes));
}

// One switch, and what the opening exchange must show for it.
struct OpeningCase {
    const char* name;
    std::vector<std::string> args;
    std::string id;
    std::string password;
    // Checks the answers; the client runs the exchange as far as the server lets it.
    void (*check)(SimClient& client, const OpeningCase& c);
};

void PrintTo(const OpeningCase& c, std::ostream* os) {
    *os << c.name;
}

void expectStatus(SimClient& client, const OpeningCase& c, int status) {
    Bytes identify = client.identify();
    ASSERT_GE(identify.size(), 45u);
    Bytes answer = client.startProxy(c.id);
    ASSERT_GE(answer.size(), 9u);
    EXPECT_EQ(answer[8], status);
}

SimClient::Auth runToAuth(SimClient& client, const OpeningCase& c) {
    Bytes identify = client.identify();
    Bytes proxy = client.startProxy(c.id);
    EXPECT_GE(proxy.size(), 9u);
    EXPECT_EQ(proxy.size() >= 9 ? proxy[8] : -1, 0);
    return client.authenticate(c.password, false);
}

const OpeningCase kOpeningCases[] = {
    {"NoProxyCapability",
     {"--no-proxy"},
     kId,
     kPassword,
     [](SimClient& client, const OpeningCase&) {
         Bytes answer = client.identify();
         ASSERT_GE(answer.size(), 45u);
         EXPECT_EQ(answer[44], 0xFD) << "every capability but the proxy one";
         EXPECT_TRUE(client.sendBytes({0x00, 0x04, 0x14, 0xA5}));
         Bytes rest;
         EXPECT_TRUE(client.readUntilClosed(&rest));
     }},
    {"UnknownIdGetsStatus3",
     {},
     "nobody",
     kPassword,
     [](SimClient& client, const OpeningCase& c) { expectStatus(client, c, 3); }},
    {"ForcedStatus2",
     {"--proxy-status", "2"},
     kId,
     kPassword,
     [](SimClient& client, const OpeningCase& c) { expectStatus(client, c, 2); }},
    {"ForcedStatus11",
     {"--proxy-status=11"},
     kId,
     kPassword,
     [](SimClient& client, const OpeningCase& c) { expectStatus(client, c, 11); }},
    {"ForcedStatus13",
     {"--proxy-status", "13"},
     kId,
     kPassword,
     [](SimClient& client, const OpeningCase& c) { expectStatus(client, c, 13); }},
    {"WrongPasswordFailsTheChallenge",
     {},
     kId,
     "wrong",
     [](SimClient& client, const OpeningCase& c) {
         SimClient::Auth auth = runToAuth(client, c);
         ASSERT_EQ(auth.message2.size(), 24u);
         EXPECT_FALSE(auth.challengeMatched);
     }},
    {"BadChallenge",
     {"--bad-challenge"},
     kId,
     kPassword,
     [](SimClient& client, const OpeningCase& c) {
         SimClient::Auth auth = runToAuth(client, c);
         ASSERT_EQ(auth.message2.size(), 24u);
         EXPECT_FALSE(auth.challengeMatched);
     }},
    {"OutOfSequence",
     {"--out-of-sequence"},
     kId,
     kPassword,
     [](SimClient& client, const OpeningCase& c) {
         SimClient::Auth auth = runToAuth(client, c);
         ASSERT_GE(auth.message2.size(), 3u);
         EXPECT_EQ(auth.message2[2], 0x11);
     }},
    {"RefuseFinal",
     {"--refuse-final"},
     kId,
     kPassword,
     [](SimClient& client, const OpeningCase& c) {
         SimClient::Auth auth = runToAuth(client, c);
         EXPECT_TRUE(auth.challengeMatched);
         ASSERT_EQ(auth.message4.size(), 12u);
         EXPECT_EQ(auth.message4[2], 0x11);
         EXPECT_EQ(auth.message4[11], 2);
     }},
    {"ShortIdentifyAnswerIsWellFramed",
     {"--short-answer"},
     kId,
     kPassword,
     [](SimClient& client, const OpeningCase&) {
         Bytes answer = client.identify();
         ASSERT_EQ(answer.size(), 24u);
         EXPECT_EQ(getU16BE(answer.data()), 24u);
         EXPECT_EQ(answer[3], 0xA5);
     }},
    {"ShortProxyAnswer",
     {"--short-answer=proxy"},
     kId,
     kPassword,
     [](SimClient& client, const OpeningCase& c) {
         ASSERT_GE(client.identify().size(), 45u);
         EXPECT_EQ(client.startProxy(c.id).size(), 6u) << "too short to hold the status byte";
     }},
    {"BadMagicOnIdentify",
     {"--bad-magic"},
     kId,
     kPassword,
     [](SimClient& client, const OpeningCase&) {
         Bytes answer = client.identify();
         ASSERT_GE(answer.size(), 4u);
         EXPECT_EQ(answer[3], 0x5A);
     }},
    {"BadMagicOnFinal",
     {"--bad-magic=final"},
     kId,
     kPassword,
     [](SimClient& client, const OpeningCase& c) {
         SimClient::Auth auth = runToAuth(client, c);
         ASSERT_EQ(auth.message4.size(), 12u);
         EXPECT_EQ(auth.message4[3], 0x5A);
     }},
    {"SilentIdentify",
     {"--silent"},
     kId,
     kPassword,
     [](SimClient& client, const OpeningCase&) {
         ASSERT_TRUE(client.sendBytes({0x00, 0x04, 0x1D, 0xA5}));
         EXPECT_TRUE(client.quietFor(1000));
     }},
};

class Opening : public ::testing::TestWithParam<OpeningCase> {};

TEST_P(Opening, SwitchShowsInTheAnswers) {
    const OpeningCase& c = GetParam();
    SimProcess sim(c.args);
    ASSERT_TRUE(sim.running());
    SimClient client(sim.port());
    ASSERT_TRUE(client.connected());
    c.check(client, c);
}

INSTANTIATE_TEST_SUITE_P(Switches, Opening, ::testing::ValuesIn(kOpeningCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Page commands on one session, in the server's path form the proxy sends.
struct PageCase {
    std::string command;
    std::string response;  // expected line, or its prefix when it ends in a blank
    std::vector<std::string> contains;
};

const PageCase kPageCases[] = {
    {getCommand("/size/0"), "RC_OK " + std::to_string(kHeaderBytes), {}},
    {getCommand("/size/1"), "RC_OK " + std::to_string(kHeaderBytes + 1), {}},
    {getCommand("/size/117"), "RC_OK " + std::to_string(kHeaderBytes + 117), {"117 bytes"}},
    {getCommand("/size/1048576"), "RC_OK " + std::to_string(kHeaderBytes + 1048576), {}},
    {getCommand("/size/67108865"), "RC_SYNTAX 0", {}},
    {getCommand("/size/12x"), "RC_SYNTAX 0", {}},
    {getCommand("/class/pools/object/ARCHIVE%2EPOOL%2F2004%2Ftape"),
     "RC_OK ",
     {"<code>ARCHIVE.POOL/2004/tape</code>",
      "URL=/class/pools/object/ARCHIVE.POOL%2F2004%2Ftape/task/audit"}},
    {getCommand("/class/pools/object/ARCHIVE.POOL/2004/tape"), "RC_NOTFOUND 0", {}},
    {getCommand("/class/nodes/object/file%20server%202/task/details"),
     "RC_OK ",
     {"file server 2", "Windows"}},
    {getCommand("/class/schedules/object/nightly%2Eincr%2F02%3A00/task/audit"),
     "RC_OK ",
     {"0 inconsistencies"}},
    {getCommand("/class/schedules"), "RC_OK ", {"weekly.full%2Fsun"}},
    {getCommand("/form"),
     "RC_OK ",
     {"action=\"http://web.test/cgi-bin/velkproxy/korproxy\"", "name=\"SERVER\"",
      "name=\"URL\" value=\"/posted\""}},
    {"HTML \"/posted\" POST=\"node=a.b%2Fc&notes=x+y%26z\" PROXYURL=/cgi\n",
     "RC_OK ",
     {"<td>a.b/c</td>", "<td>x y&amp;z</td>", "node=a.b%2Fc&amp;notes"}},
    {getCommand("/posted"), "RC_OK ", {"Nothing was posted"}},
    {getCommand("/nowhere"), "RC_NOTFOUND 0", {}},
    {"STATUS\n", "RC_SYNTAX 0", {}},
};

TEST(Simulator, AnswersPageCommands) {
    SimProcess sim({});
    ASSERT_TRUE(sim.running());
    SimClient client(sim.port());
    ASSERT_TRUE(client.open(kId, kPassword));
    for (const PageCase& c : kPageCases) {
        SCOPED_TRACE(c.command);
        std::string page;
        std::string line = client.fetch(c.command, &page);
        if (c.response.back() == ' ') {
            EXPECT_EQ(line.substr(0, c.response.size()), c.response);
        } else {
            EXPECT_EQ(line, c.response);
        }
        if (!page.empty()) {
            EXPECT_EQ(page.substr(0, kHeaderBytes), kHeaderLines);
        }
        for (const std::string& text : c.contains)
            EXPECT_NE(page.find(text), std::string::npos) << text;
    }
}

TEST(Simulator, CommandArrivingInPiecesIsReadWhole) {
    SimProcess sim({});
    ASSERT_TRUE(sim.running());
    SimClient client(sim.port());
    ASSERT_TRUE(client.open(kId, kPassword));
    for (size_t piece : {1u, 3u, 8u}) {
        SCOPED_TRACE(piece);
        ASSERT_TRUE(client.sendCommand(getCommand("/size/5"), piece));
        std::string line;
        ASSERT_TRUE(client.recvResponse(&line));
        EXPECT_EQ(line, "RC_OK " + std::to_string(kHeaderBytes + 5));
        std::string page;
        ASSERT_TRUE(client.recvPage(kHeaderBytes + 5, &page));
    }
    ASSERT_TRUE(client.sendCommand("BYE", 1));
    Bytes rest;
    EXPECT_TRUE(client.readUntilClosed(&rest));
}

TEST(Simulator, PrintPageGivesTheBytesASessionGets) {
    SimProcess sim({"--admin-id", "Op"});
    ASSERT_TRUE(sim.running());
    const std::string listen = "127.0.0.1:" + std::to_string(sim.port());
    for (const char* url : {"/", "/class/pools/object/BACKUP%2EPOOL", "/size/3000"}) {
        SCOPED_TRACE(url);
        SimClient client(sim.port());
        ASSERT_TRUE(client.open("Op", kPassword));
        std::string live;
        ASSERT_EQ(client.fetch(getCommand(url), &live).substr(0, 6), "RC_OK ");
        std::string printed, err;
        EXPECT_EQ(
            runSimToEnd({"--listen", listen, "--admin-id", "Op", "--print-page", getCommand(url)},
                        &printed, &err),
            0);
        EXPECT_TRUE(printed == live) << "printed " << printed.size() << ", served " << live.size();
        EXPECT_EQ(err, "RC_OK " + std::to_string(live.size()) + "\n");
    }
    std::string printed, err;
    EXPECT_EQ(runSimToEnd({"--print-page", getCommand("/nowhere")}, &printed, &err), 1);
    EXPECT_EQ(err, "RC_NOTFOUND 0\n");
}

TEST(Simulator, ChosenReturnCodeComesWithoutAPage) {
    SimProcess sim({"--rc", "RC_NOTFOUND"});
    ASSERT_TRUE(sim.running());
    SimClient client(sim.port());
    ASSERT_TRUE(client.open(kId, kPassword));
    std::string page;
    EXPECT_EQ(client.fetch(getCommand("/"), &page), "RC_NOTFOUND 0");
    EXPECT_TRUE(page.empty());
}

TEST(Simulator, ShortPageIsCutAndClosed) {
    SimProcess sim({"--short-answer=page"});
    ASSERT_TRUE(sim.running());
    SimClient client(sim.port());
    ASSERT_TRUE(client.open(kId, kPassword));
    ASSERT_TRUE(client.sendCommand(getCommand("/size/1000")));
    std::string line;
    ASSERT_TRUE(client.recvResponse(&line));
    ASSERT_EQ(line, "RC_OK " + std::to_string(kHeaderBytes + 1000));
    Bytes rest;
    EXPECT_TRUE(client.readUntilClosed(&rest));
    EXPECT_EQ(rest.size(), (kHeaderBytes + 1000) / 2);
}

TEST(Simulator, SilentPageLeavesTheConnectionOpenAndTheServerServing) {
    SimProcess sim({"--silent=page"});
    ASSERT_TRUE(sim.running());
    {
        SimClient client(sim.port());
        ASSERT_TRUE(client.open(kId, kPassword));
        ASSERT_TRUE(client.sendCommand(getCommand("/")));
        std::string line;
        ASSERT_TRUE(client.recvResponse(&line));
        EXPECT_TRUE(client.quietFor(700));
    }
    SimClient next(sim.port());
    EXPECT_TRUE(next.open(kId, kPassword)) << "a withheld answer holds one connection only";
}

TEST(Simulator, ServesConnectionsAtOnce) {
    SimProcess sim({});
    ASSERT_TRUE(sim.running());
    constexpr int kClients = 8;
    std::vector<std::string> lines(kClients);
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i) {
        threads.emplace_back([&, i] {
            SimClient client(sim.port());
            if (!client.open(kId, kPassword)) return;
            std::string page;
            lines[i] = client.fetch(getCommand("/size/65536"), &page);
            if (page.size() != kHeaderBytes + 65536) lines[i] += " (page size wrong)";
        });
    }
    for (std::thread& t : threads) t.join();
    for (const std::string& line : lines)
        EXPECT_EQ(line, "RC_OK " + std::to_string(kHeaderBytes + 65536));
}

TEST(SimulatorCommandLine, HelpNamesEverySwitchAndBadOptionsAreRefused) {
    std::string out;
    EXPECT_EQ(runSimToEnd({"--help"}, &out), 0);
    for (const char* option :
         {"--listen", "--admin-id", "--admin-password", "--ebcdic", "--no-proxy", "--proxy-status",
          "--bad-challenge", "--out-of-sequence", "--refuse-final", "--rc", "--short-answer",
          "--silent", "--bad-magic", "--log", "/size/N", "/form", "/posted"}) {
        EXPECT_NE(out.find(option), std::string::npos) << option;
    }
    struct Bad {
        std::vector<std::string> args;
        const char* says;
    };
    const Bad kBad[] = {
        {{"--bogus"}, "unknown option --bogus"},
        {{"--proxy-status", "256"}, "--proxy-status"},
        {{"--listen", "127.0.0.1"}, "--listen wants HOST:PORT"},
        {{"--listen", "127.0.0.1:65536"}, "--listen wants HOST:PORT"},
        {{"--silent=nowhere"}, "unknown answer 'nowhere'"},
        {{"--bad-magic=page"}, "only verb answers"},
        {{"--admin-id", std::string(64, 'x')}, "--admin-id"},
        {{"--ebcdic=1"}, "takes no value"},
        {{"--rc"}, "needs a value"},
    };
    for (const Bad& bad : kBad) {
        EXPECT_EQ(runSimToEnd(bad.args, &out), 2) << bad.says;
        EXPECT_NE(out.find(bad.says), std::string::npos) << out;
    }
}

}  // namespace
