// The Windows program's platform layers on the real registry, Windows Sockets and system calls,
// beside the registry contract both stores keep (tests/settings/registry_test.cpp).
#include <gtest/gtest.h>
#include <winsock2.h>
// after winsock2.h, which declares what it builds on
#include <sddl.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "../settings/store_fixture.h"
#include "common/platform.h"
#include "net/tcpcomm.h"
#include "settings/pssec.h"
#include "settings/registry.h"
#include "settings/regwhole.h"

namespace {

// The scratch key of the registry contract, its access list given back before it goes.
class Registry : public StoreTest {
  protected:
    void TearDown() override {
        setScratchAccess("D:(A;;KA;;;WD)");
        StoreTest::TearDown();
    }
    // Gives the scratch key (not its sub-keys) the access list `sddl`.
    static void setScratchAccess(const char* sddl) {
        HKEY key = nullptr;
        PSECURITY_DESCRIPTOR sd = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kScratchKey, 0, WRITE_DAC, &key) != ERROR_SUCCESS)
            return;
        if (ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd,
                                                                 nullptr)) {
            EXPECT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, sd), ERROR_SUCCESS);
        }
        LocalFree(sd);
        RegCloseKey(key);
    }
};

constexpr const char kOwn[] = "SOFTWARE\\korproxy-test\\own";

TEST_F(Registry, LevelsThatOnlyAllowReadingAreWalkedThrough) {
    ASSERT_EQ(storeValue(kOwn, "v", REG_SZ, std::string("1", 2)), ERROR_SUCCESS);
    setScratchAccess("D:P(A;;KR;;;WD)");  // as HKEY_LOCAL_MACHINE\SOFTWARE is to a web server
    HKEY key = nullptr;
    LONG rc = 0;
    ASSERT_EQ(RegOpenPathEx(HKEY_LOCAL_MACHINE, kOwn, &key, &rc), 1);
    EXPECT_EQ(setRegValue(key, "v", "x", REG_SZ, 0, &rc), 1) << "the last level allows changes";
    RegCloseKey(key);
    ASSERT_EQ(RegCreatePathEx(HKEY_LOCAL_MACHINE, (kOwn + std::string("\\new")).c_str(), &key, &rc),
              1);
    RegCloseKey(key);
}

constexpr const char kPair[] = "SOFTWARE\\korproxy-test\\Pair";
const std::string kAside = std::string("Pair") + kRegWholeOldSuffix;

std::vector<std::string> scratchKeys() {
    std::vector<std::string> names;
    HKEY key = nullptr;
    LONG rc = 0;
    char name[256];
    if (!RegOpenPathEx(HKEY_LOCAL_MACHINE, kScratchKey, &key, &rc)) return names;
    while (enumRegSubKey(key, names.size(), name, sizeof name, &rc)) names.push_back(name);
    RegCloseKey(key);
    return names;
}

std::string readBack() {
    char id[kCredentialSize] = "", password[kCredentialSize] = "";
    int rc = psReadPairAt(kPair, id, password);
    return rc == 0 ? std::string(id) + "/" + password : "rc " + std::to_string(rc);
}

const char* failingStep;
LONG failStep(const char* step) {
    return strcmp(step, failingStep) == 0 ? ERROR_DISK_FULL : ERROR_SUCCESS;
}

// A write that fails at any step, the values half written included, leaves the old pair whole and
// nothing beside it; one whose old key cannot be dropped has still put the new pair in place, and
// the next write clears the old key away.
TEST_F(Registry, AFailedPairWriteKeepsTheOldPair) {
    auto passwordOnly = [](HKEY key, void*, LONG* rc) {
        (void)setRegValue(key, "Password", "12345678", REG_BINARY, 8, rc);
        *rc = ERROR_DISK_FULL;
        return 0;
    };
    ASSERT_EQ(psWritePairAt(kPair, "OLDADMIN", "oldsecret"), 0);
    for (const char* step : {"fill", "set aside", "put in place", "the values", "drop old"}) {
        SCOPED_TRACE(step);
        const bool dropOld = strcmp(step, "drop old") == 0;
        failingStep = step;
        regSetWholeFaultHook(failStep);
        LONG rc = 0;
        if (strcmp(step, "the values") == 0) {
            EXPECT_EQ(writeWholeKey(HKEY_LOCAL_MACHINE, kPair, passwordOnly, nullptr, &rc), 0);
        } else {
            EXPECT_EQ(psWritePairAt(kPair, "NEWADMIN", "newsecret"), dropOld ? 0 : kPsNotStored);
        }
        regSetWholeFaultHook(nullptr);
        EXPECT_EQ(readBack(), dropOld ? "NEWADMIN/newsecret" : "OLDADMIN/oldsecret");
        const std::vector<std::string> keys = {"Pair", kAside};
        EXPECT_EQ(scratchKeys(), std::vector(keys.begin(), keys.begin() + 1 + dropOld));
    }
    EXPECT_EQ(psWritePairAt(kPair, "ADMIN", "secret"), 0);
    EXPECT_EQ(readBack(), "ADMIN/secret");
    EXPECT_EQ(scratchKeys(), std::vector<std::string>{"Pair"});
}

// A writer that ended between its steps left the old pair set aside and a half-written new key:
// readers take the old pair, the next write clears both, and a delete never brings one back.
TEST_F(Registry, LeftoversOfABrokenWriteAreReadOrCleared) {
    const std::string fresh = std::string(kPair) + kRegWholeNewSuffix;
    for (bool deleteAfter : {false, true}) {
        SCOPED_TRACE(deleteAfter ? "delete" : "write");
        ASSERT_EQ(psWritePairAt(kPair, "OLDADMIN", "oldsecret"), 0);
        HKEY scratch = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kScratchKey, 0, KEY_ALL_ACCESS, &scratch), 0);
        std::wstring aside(kAside.begin(), kAside.end());
        EXPECT_EQ(RegRenameKey(scratch, L"Pair", aside.c_str()), ERROR_SUCCESS);
        RegCloseKey(scratch);
        ASSERT_EQ(storeValue(fresh.c_str(), "Id", REG_SZ, std::string("HALF", 5)), ERROR_SUCCESS);
        EXPECT_EQ(readBack(), "OLDADMIN/oldsecret");
        if (!deleteAfter) {
            EXPECT_EQ(psWritePairAt(kPair, "NEWADMIN", "newsecret"), 0);
            EXPECT_EQ(readBack(), "NEWADMIN/newsecret");
        }
        EXPECT_EQ(psDeletePairAt(kPair), 1);
        EXPECT_EQ(readBack(), "rc 1");
        EXPECT_TRUE(scratchKeys().empty());
    }
}

// Readers beside a writer replacing the pair see one whole pair every time: an id with the
// password of another would decipher to other bytes.
TEST_F(Registry, ReadersBesideAWriterSeeWholePairs) {
    ASSERT_EQ(psWritePairAt(kPair, "user0", "pw-user0"), 0);
    std::atomic<bool> done{false};
    std::atomic<int> reads{0}, bad{0};
    std::thread reader([&] {
        while (!done) {
            char id[kCredentialSize], password[kCredentialSize];
            bool whole = psReadPairAt(kPair, id, password) == 0 &&
                         std::string(password) == std::string("pw-") + id;
            (whole ? reads : bad)++;
        }
    });
    int failed = 0;  // the first write that failed; the reader is joined either way
    for (int i = 1; i <= 60 && !failed; ++i) {
        std::string id = "user" + std::to_string(i);
        if (psWritePairAt(kPair, id.c_str(), ("pw-" + id).c_str()) != 0) failed = i;
    }
    done = true;
    reader.join();
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(bad, 0);
    EXPECT_GT(reads, 0);
}

// The audit line reaches the event log (under wine the call is made and may report failure; the
// program goes on either way), and only an absolute Windows path names an audit file.
TEST(Platform, ComputerNameRandomBytesWipingEventLogAndAbsolutePaths) {
    char name[256];
    ASSERT_TRUE(osComputerName(name, sizeof name));
    EXPECT_GT(strlen(name), 0u);
    for (const char* c = name; *c; ++c)
        EXPECT_FALSE(islower(static_cast<unsigned char>(*c))) << "upper case on Windows";
    unsigned char a[8] = {}, b[8] = {};
    ASSERT_EQ(osRandomBytes(a, sizeof a), 0);
    ASSERT_EQ(osRandomBytes(b, sizeof b), 0);
    EXPECT_NE(memcmp(a, b, sizeof a), 0);
    osWipe(a, sizeof a);
    EXPECT_EQ(memcmp(a, "\0\0\0\0\0\0\0\0", 8), 0);

    (void)osSystemLog(OsLogLevel::kWarning, "event=check user=- result=connect-failed ms=1");
    for (const char* path : {"C:\\logs\\audit.log", "c:/logs/audit.log", "\\\\host\\share\\a"})
        EXPECT_TRUE(osIsAbsolutePath(path)) << path;
    for (const char* path : {"audit.log", "C:audit.log", "\\audit.log", "/audit.log", ""})
        EXPECT_FALSE(osIsAbsolutePath(path)) << path;
}

TEST(Transport, ExchangesBytesAndTimesOutInMilliseconds) {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    SOCKET server = socket(AF_INET, SOCK_STREAM, 0);  // on 127.0.0.1, on a port the system picks
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof a;
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&a), len), 0);
    ASSERT_EQ(listen(server, 4), 0);
    ASSERT_EQ(getsockname(server, reinterpret_cast<sockaddr*>(&a), &len), 0);
    tcpSetTimeouts({2000, 400});
    Transport transport;
    char host[] = "127.0.0.1", error[256] = "";
    const std::string port = std::to_string(ntohs(a.sin_port));
    ASSERT_EQ(tcpOpen(host, port.c_str(), &transport, error, sizeof error), 0) << error;
    auto* conn = static_cast<TcpConnection*>(transport.conn);
    SOCKET peer = accept(server, nullptr, nullptr);
    ASSERT_NE(peer, INVALID_SOCKET);
    const unsigned char ping[] = "ping";
    ASSERT_EQ(tcpSend(conn, ping, 4), 0);
    ASSERT_EQ(send(peer, "pong", 4, 0), 4);
    unsigned char buf[16];
    ASSERT_EQ(tcpReceive(conn, buf, sizeof buf), 4);
    EXPECT_EQ(memcmp(buf, "pong", 4), 0);
    char got[8] = {};
    EXPECT_EQ(recv(peer, got, sizeof got, 0), 4) << "the pending bytes left before the receive";

    // A silent peer: the receive fails after the I/O time-out, a DWORD of milliseconds here.
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(tcpReceive(conn, buf, sizeof buf), -1);
    auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_GE(waited, std::chrono::milliseconds(300));
    EXPECT_LT(waited, std::chrono::seconds(5));
    EXPECT_EQ(conn->lastError, static_cast<uint32_t>(kWsaEtimedout));
    closesocket(peer);
    closesocket(server);
    tcpRelease(conn);
    tcpSetTimeouts({});
}

}  // namespace
