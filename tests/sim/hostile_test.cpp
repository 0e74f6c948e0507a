// The simulator's hostile modes, seen from the wire: what each one sends, and whether it closes,
// holds or stalls the connection afterwards.
#include <gtest/gtest.h>

#include <functional>

#include "common/byteorder.h"
#include "simclient.h"

namespace {

constexpr char kId[] = "admin";
constexpr char kPassword[] = "secret";
constexpr size_t kIdentifyAnswerBytes = 48;
constexpr char kHeaderLines[] = "HTTP/1.0 200 OK\nServer: VELK_HTTP\nContent-type: text/html\n\n";
constexpr size_t kHeaderBytes = sizeof kHeaderLines - 1;
constexpr size_t kQuietMillis = 500;

const Bytes kIdentifyVerb = {0x00, 0x04, 0x1D, 0xA5};

std::string getCommand(const std::string& url) {
    return "HTML " + url + " PROXYURL=http://web.test/cgi-bin/velkproxy\n";
}

struct HostileCase {
    const char* name;
    std::vector<std::string> args;
    std::function<void(SimClient&)> check;
};

const HostileCase kCases[] = {
    {"RandomIdentifyIsItsLengthThenClosed",
     {"--hostile=random"},
     [](SimClient& client) {
         ASSERT_TRUE(client.sendBytes(kIdentifyVerb));
         Bytes got;
         EXPECT_TRUE(client.readUntilClosed(&got));
         EXPECT_EQ(got.size(), kIdentifyAnswerBytes);
     }},
    {"TruncatedIdentifyAnnouncesAllSendsHalf",
     {"--hostile=truncated"},
     [](SimClient& client) {
         ASSERT_TRUE(client.sendBytes(kIdentifyVerb));
         Bytes got;
         EXPECT_TRUE(client.readUntilClosed(&got));
         ASSERT_EQ(got.size(), kIdentifyAnswerBytes / 2);
         EXPECT_EQ(getU16BE(got.data()), kIdentifyAnswerBytes);
         EXPECT_EQ(got[3], 0xA5);
     }},
    {"AbsurdIdentifyIsExtendedAndStaysOpen",
     {"--hostile=absurd-length"},
     [](SimClient& client) {
         ASSERT_TRUE(client.sendBytes(kIdentifyVerb));
         bool closed = true;
         Bytes got = client.readUntilQuiet(kQuietMillis, &closed);
         EXPECT_FALSE(closed);
         ASSERT_EQ(got.size(), kIdentifyAnswerBytes + 8);
         EXPECT_EQ(got[2], 8);
         EXPECT_EQ(got[3], 0xA5);
         EXPECT_EQ(getU32BE(got.data() + 4), 0x1Du);
         EXPECT_EQ(getU32BE(got.data() + 8), 0xFFFFFFF0u);
     }},
    {"AbsurdResponseAnnouncesFourGigabytesThenSendsThePage",
     {"--hostile=absurd-length:response"},
     [](SimClient& client) {
         ASSERT_TRUE(client.open(kId, kPassword));
         ASSERT_TRUE(client.sendCommand(getCommand("/size/10")));
         std::string line;
         ASSERT_TRUE(client.recvResponse(&line));
         EXPECT_EQ(line, "RC_OK 4000000000");
         bool closed = true;
         EXPECT_EQ(client.readUntilQuiet(kQuietMillis, &closed).size(), kHeaderBytes + 10);
         EXPECT_FALSE(closed);
     }},
    {"OneBytePiecesStillMakeAWholeSession",
     {"--hostile=one-byte"},
     [](SimClient& client) {
         ASSERT_TRUE(client.open(kId, kPassword));
         std::string page;
         EXPECT_EQ(client.fetch(getCommand("/size/300"), &page),
                   "RC_OK " + std::to_string(kHeaderBytes + 300));
         EXPECT_EQ(page.size(), kHeaderBytes + 300);
         EXPECT_NE(page.find("300 bytes"), std::string::npos);
     }},
    {"ShortPageFallsShortOfItsAnnouncementThenCloses",
     {"--hostile=short-page"},
     [](SimClient& client) {
         ASSERT_TRUE(client.open(kId, kPassword));
         ASSERT_TRUE(client.sendCommand(getCommand("/size/100")));
         std::string line;
         ASSERT_TRUE(client.recvResponse(&line));
         EXPECT_EQ(line, "RC_OK " + std::to_string(kHeaderBytes + 100 + 1000));
         Bytes rest;
         EXPECT_TRUE(client.readUntilClosed(&rest));
         EXPECT_EQ(rest.size(), kHeaderBytes + 100);
     }},
    {"StallSendsHalfThePageAndHoldsTheConnection",
     {"--hostile=stall"},
     [](SimClient& client) {
         ASSERT_TRUE(client.open(kId, kPassword));
         ASSERT_TRUE(client.sendCommand(getCommand("/size/1000")));
         std::string line;
         ASSERT_TRUE(client.recvResponse(&line));
         ASSERT_EQ(line, "RC_OK " + std::to_string(kHeaderBytes + 1000));
         bool closed = true;
         EXPECT_EQ(client.readUntilQuiet(kQuietMillis, &closed).size(), (kHeaderBytes + 1000) / 2);
         EXPECT_FALSE(closed);
     }},
    {"StallOnTheProxyAnswer",
     {"--hostile=stall:proxy"},
     [](SimClient& client) {
         ASSERT_GE(client.identify().size(), kIdentifyAnswerBytes);
         Bytes request = {0x00, 0x0F, 0x5E, 0xA5, 0, 0, 0, 0, 0, 0, 'a', 'd', 'm', 'i', 'n'};
         ASSERT_TRUE(client.sendBytes(request));
         bool closed = true;
         EXPECT_EQ(client.readUntilQuiet(kQuietMillis, &closed).size(), 6u);
         EXPECT_FALSE(closed);
     }},
};

class Hostile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(Hostile, ModeShowsOnTheWire) {
    const HostileCase& c = GetParam();
    SimProcess sim(c.args);
    ASSERT_TRUE(sim.running());
    SimClient client(sim.port());
    ASSERT_TRUE(client.connected());
    c.check(client);
}

INSTANTIATE_TEST_SUITE_P(Modes, Hostile, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HostileCommandLine, ModesAreNamedAndMisplacedOnesRefused) {
    std::string out;
    EXPECT_EQ(runSimToEnd({"--help"}, &out), 0);
    for (const char* mode :
         {"--hostile", "random", "truncated", "absurd-length", "one-byte", "short-page", "stall"}) {
        EXPECT_NE(out.find(mode), std::string::npos) << mode;
    }
    const std::pair<std::string, const char*> kBad[] = {
        {"--hostile=bogus", "unknown mode 'bogus'"},
        {"--hostile=none", "unknown mode 'none'"},
        {"--hostile=random:nowhere", "unknown answer 'nowhere'"},
        {"--hostile=short-page:page", "cannot be set on the page answer"},
        {"--hostile=absurd-length:page", "cannot be set on the page answer"},
    };
    for (const auto& [arg, says] : kBad) {
        EXPECT_EQ(runSimToEnd({arg}, &out), 2) << arg;
        EXPECT_NE(out.find(says), std::string::npos) << out;
    }
}

}  // namespace
