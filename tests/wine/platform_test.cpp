// The Windows program's platform layers on the real registry, Windows Sockets and system calls.
// The settings, credentials and a refused connect are checked through the whole program
// (program.sh).
#include <gtest/gtest.h>
#include <winsock2.h>
// after winsock2.h, which declares what it builds on
#include <sddl.h>

#include <chrono>
#include <cstring>
#include <string>

#include "common/platform.h"
#include "net/tcpcomm.h"
#include "settings/registry.h"

namespace {

constexpr const char kScratch[] = "SOFTWARE\\korproxy-test";

// A scratch key below HKEY_LOCAL_MACHINE, empty before and after.
class Registry : public ::testing::Test {
  protected:
    void SetUp() override { clear(); }
    void TearDown() override { clear(); }
    static void clear() {
        setScratchAccess("D:(A;;KA;;;WD)");
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kScratch);
    }
    // Gives the scratch key (not its sub-keys) the access list `sddl`.
    static void setScratchAccess(const char* sddl) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kScratch, 0, WRITE_DAC, &key) != ERROR_SUCCESS)
            return;
        PSECURITY_DESCRIPTOR sd = nullptr;
        if (ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd,
                                                                 nullptr)) {
            EXPECT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, sd), ERROR_SUCCESS);
            LocalFree(sd);
        }
        RegCloseKey(key);
    }
};

TEST_F(Registry, PathsOpenAndCreateLevelByLevel) {
    HKEY key = nullptr;
    LONG rc = 0;
    EXPECT_EQ(RegOpenPathEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\korproxy-test\\a", &key, &rc), 0);
    EXPECT_EQ(rc, ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegCreatePathEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\korproxy-test\\a\\b", &key, &rc), 1);
    RegCloseKey(key);
    ASSERT_EQ(RegOpenPathEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\korproxy-test\\a", &key, &rc), 1);
    EXPECT_EQ(deleteRegKey(key, nullptr, &rc), 0) << "a key with sub-keys stays";
    EXPECT_NE(rc, ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(RegOpenPathEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\korproxy-test\\a\\b", &key, &rc), 1);
    EXPECT_EQ(deleteRegKey(key, nullptr, &rc), 1) << "the opened key itself";
    RegCloseKey(key);
    EXPECT_EQ(RegOpenPathEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\korproxy-test\\a\\b", &key, &rc), 0);
    EXPECT_EQ(connectRegistry(nullptr, HKEY_CURRENT_USER, &key, &rc), 0);
    EXPECT_EQ(rc, ERROR_SUCCESS);
}

TEST_F(Registry, LevelsThatOnlyAllowReadingAreWalkedThrough) {
    HKEY key = nullptr;
    LONG rc = 0;
    ASSERT_EQ(RegCreatePathEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\korproxy-test\\own", &key, &rc), 1);
    RegCloseKey(key);
    setScratchAccess("D:P(A;;KR;;;WD)");  // as HKEY_LOCAL_MACHINE\SOFTWARE is to a web server
    ASSERT_EQ(RegOpenPathEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\korproxy-test\\own", &key, &rc), 1);
    EXPECT_EQ(setRegValue(key, "v", "x", REG_SZ, 0, &rc), 1) << "the last level allows changes";
    RegCloseKey(key);
    ASSERT_EQ(RegCreatePathEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\korproxy-test\\own\\new", &key, &rc),
              1);
    RegCloseKey(key);
}

TEST_F(Registry, ValuesAreSizedByTheirType) {
    HKEY key = nullptr;
    LONG rc = 0;
    ASSERT_EQ(RegCreatePathEx(HKEY_LOCAL_MACHINE, kScratch, &key, &rc), 1);
    unsigned char block[64] = {1, 0, 2};
    const char multi[] = "a\0b\0";
    std::string longText(300, 'x');
    struct {
        const char* name;
        const void* data;
        DWORD type, size;
        int written;
        DWORD stored;
    } cases[] = {
        {"text", "abc", REG_SZ, 99, 1, 4},       {"block", block, REG_BINARY, 64, 1, 64},
        {"multi", multi, REG_MULTI_SZ, 0, 1, 5}, {"big", "abcd", REG_DWORD_BIG_ENDIAN, 4, 0, 0},
        {"empty", "", REG_SZ, 0, 1, 0},          {"long", longText.c_str(), REG_SZ, 0, 1, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(setRegValue(key, c.name, c.data, c.type, c.size, &rc), c.written) << c.name;
        unsigned char buffer[kRegValueBufferSize];
        DWORD type = 0, size = 99;
        (void)getRegValue(key, c.name, buffer, &type, &size, &rc);
        EXPECT_EQ(size, c.stored) << c.name;
    }
    unsigned char buffer[kRegValueBufferSize];
    DWORD size = 0;
    EXPECT_EQ(getRegValue(key, "long", buffer, nullptr, &size, &rc), 0);
    EXPECT_EQ(rc, ERROR_MORE_DATA);
    EXPECT_EQ(getRegValue(key, "empty", buffer, nullptr, &size, &rc), 0);
    EXPECT_EQ(rc, ERROR_SUCCESS);
    EXPECT_EQ(getRegValue(key, "missing", buffer, nullptr, &size, &rc), 0);
    EXPECT_EQ(rc, ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST(Platform, ComputerNameRandomBytesAndWiping) {
    char name[256];
    ASSERT_TRUE(osComputerName(name, sizeof name));
    EXPECT_GT(strlen(name), 0u);
    std::string upper = name;
    for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(upper, name) << "Windows gives its computer name in upper case";

    unsigned char a[8] = {}, b[8] = {};
    ASSERT_EQ(osRandomBytes(a, sizeof a), 0);
    ASSERT_EQ(osRandomBytes(b, sizeof b), 0);
    EXPECT_NE(memcmp(a, b, sizeof a), 0);
    osWipe(a, sizeof a);
    EXPECT_EQ(memcmp(a, "\0\0\0\0\0\0\0\0", 8), 0);
}

// The audit line reaches the event log (under wine the call is made and may report failure; the
// program goes on either way), and only an absolute Windows path names an audit file.
TEST(Platform, EventLogAndAbsolutePaths) {
    (void)osSystemLog(OsLogLevel::Warning, "event=check user=- result=connect-failed ms=1");
    for (const char* path : {"C:\\logs\\audit.log", "c:/logs/audit.log", "\\\\host\\share\\a"}) {
        EXPECT_TRUE(osIsAbsolutePath(path)) << path;
    }
    for (const char* path : {"audit.log", "C:audit.log", "\\audit.log", "/audit.log", ""}) {
        EXPECT_FALSE(osIsAbsolutePath(path)) << path;
    }
}

// A listening socket on 127.0.0.1 with a port chosen by the system.
struct Listener {
    SOCKET s = INVALID_SOCKET;
    std::string port;
    Listener() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(listen(s, 4), 0);
        int len = sizeof a;
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
        port = std::to_string(ntohs(a.sin_port));
    }
    ~Listener() { closesocket(s); }
};

TEST(Transport, ExchangesBytesAndTimesOutInMilliseconds) {
    Listener server;
    tcpSetTimeouts({2000, 400});
    SessionDesc session;
    char host[] = "127.0.0.1";
    char error[kSmLastErrorSize] = "";
    ASSERT_EQ(tcpOpen(host, server.port.c_str(), &session, error, sizeof error), 0) << error;
    auto* conn = static_cast<TcpConnection*>(session.conn);
    SOCKET peer = accept(server.s, nullptr, nullptr);
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
    tcpRelease(conn);
    tcpSetTimeouts({});
}

}  // namespace
