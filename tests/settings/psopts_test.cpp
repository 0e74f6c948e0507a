#include "settings/psopts.h"

#include <cstring>

#include "settings/settingskeys.h"
#include "store_fixture.h"

namespace {

using DefaultOptions = StoreTest;

OptionsRecord record(const char* server, const char* port, const char* trace, const char* url) {
    OptionsRecord opts{};
    snprintf(opts.server, sizeof opts.server, "%s", server);
    snprintf(opts.port, sizeof opts.port, "%s", port);
    snprintf(opts.traceFile, sizeof opts.traceFile, "%s", trace);
    snprintf(opts.cgiUrl, sizeof opts.cgiUrl, "%s", url);
    return opts;
}

}  // namespace

TEST_F(DefaultOptions, MissingStoreOrValuesAreTraced) {
    OptionsRecord opts = record("keep", "1", "t", "u");
    EXPECT_EQ(psReadDefaultFile(&opts), 0);
    EXPECT_STREQ(opts.server, "keep") << "no store leaves the record alone";
    EXPECT_EQ(traceShapes(), std::vector<std::string>{
                                 "(psopts, N) psReadDefaultFile(): RegOpenPathEx(): Win32 RC=2 ."});
    EXPECT_FALSE(storeExists());

    clearTrace();
    ASSERT_EQ(storeValue(kDefaultsKeyPath, "DefaultServerAddress", REG_BINARY,
                         std::string("velk.example\0", 13)),
              0);
    EXPECT_EQ(psReadDefaultFile(&opts), 0);
    OptionsRecord expected = record("velk.example", "", "", "");
    EXPECT_EQ(memcmp(&opts, &expected, sizeof opts), 0) << "missing values read as empty";
    std::vector<std::string> missing;
    for (const char* name : {"DefaultServerPort", "CgiUrl", "TraceFile", "AuditLog"})
        missing.push_back(std::string("(psopts, N) psReadDefaultFile(): getRegValue(") + name +
                          "): Win32 RC=2 .");
    EXPECT_EQ(traceShapes(), missing);
}

// Up to 63 characters read back whole; 64 do not fit with the terminator. A value stored without
// one still gives a terminated field with nothing of the old text behind it. A stored access
// option that cannot be read whole closes rather than opens: no list of servers, no shared logon.
TEST_F(DefaultOptions, TextsUpTo63CharactersReadBackWholeAndAnUnreadableAccessOptionCloses) {
    const std::pair<std::string, std::string> cases[] = {
        {std::string("1500\0", 5), "1500"},
        {std::string(63, 'a') + '\0', std::string(63, 'a')},
        {std::string(64, 'b') + '\0', ""},
        {std::string(64, 'c'), std::string(64, 'c')},
        {"ab", "ab"},
    };
    for (const auto& [stored, read] : cases) {
        SCOPED_TRACE(stored.size());
        ASSERT_EQ(storeValue(kDefaultsKeyPath, "DefaultServerPort", REG_BINARY, stored), 0);
        OptionsRecord opts = record("", "the old text of the field", "", "");
        EXPECT_EQ(psReadDefaultFile(&opts), 0);
        EXPECT_EQ(std::string(opts.port), read);
    }
    EXPECT_EQ(traceCount("getRegValue(DefaultServerPort): Win32 RC=234 ."), 1);
    ASSERT_EQ(storeValue(kDefaultsKeyPath, "AllowedServers", REG_BINARY,
                         std::string(kAllowedServersTextSize, 'a')),
              0);
    ASSERT_EQ(storeValue(kDefaultsKeyPath, "SharedLogon", REG_SZ, std::string("yes\0", 4)), 0);
    OptionsRecord read{};
    EXPECT_EQ(psReadDefaultFile(&read), 0);
    EXPECT_STREQ(read.allowedServers, kUnreadableServerList);
    EXPECT_STREQ(read.sharedLogon, "0");
}

// The access options are stored only while set and read silently when absent.
TEST_F(DefaultOptions, WritesRoundTripAndAFailedWriteStoresNoneOfTheFour) {
    OptionsRecord written = record("10.1.2.3", "1500", "", "http://web/cgi-bin/velkproxy");
    snprintf(written.allowedServers, sizeof written.allowedServers, "a.example:1500,b");
    snprintf(written.sharedLogon, sizeof written.sharedLogon, "0");
    OptionsRecord other = record("10.9.9.9", "1600", "trace.txt", "/cgi-bin/other");
    for (const OptionsRecord* options : {&written, &other, &written}) {
        ASSERT_EQ(psWriteDefaultFile(options), 0);
        clearTrace();
        OptionsRecord opts{};
        EXPECT_EQ(psReadDefaultFile(&opts), 0);
        EXPECT_EQ(memcmp(&opts, options, sizeof opts), 0);
        EXPECT_TRUE(traceShapes().empty()) << "absent access options are not traced";
    }
    EXPECT_EQ(storedValue(kDefaultsKeyPath, "TraceFile"), std::string(1, '\0'));
    for (const char* failing :
         {"DefaultServerAddress", "DefaultServerPort", "TraceFile", "CgiUrl"}) {
        SCOPED_TRACE(failing);
        clearTrace();
        failingName = failing;
        regSetFaultHook(failNamedChange);
        EXPECT_EQ(psWriteDefaultFile(&other), -1);
        regSetFaultHook(nullptr);
        const std::string head = "(psopts, N) psWriteDefaultFile(): ";
        EXPECT_EQ(traceShapes(), (std::vector<std::string>{
                                     head + "setRegValue(" + failing + "): Win32 RC = 112.",
                                     head + "the options were not stored: Win32 RC = 112."}));
        OptionsRecord kept{};
        EXPECT_EQ(psReadDefaultFile(&kept), 0);
        EXPECT_EQ(memcmp(&kept, &written, sizeof kept), 0);
    }
}

TEST_F(DefaultOptions, DeleteTakesTheParentOnlyOnceItIsBare) {
    OptionsRecord opts = record("s", "1", "t", "u");
    ASSERT_EQ(psWriteDefaultFile(&opts), 0);
    ASSERT_EQ(storeValue(kCredentialsKeyPath, "Id", REG_SZ, std::string(1, '\0')), 0);
    psDeleteDefaultFile(1);
    EXPECT_FALSE(keyExists(kDefaultsKeyPath));
    EXPECT_TRUE(keyExists(kProxyKeyPath)) << "the credentials key still holds it";

    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, kCredentialsKeyPath), ERROR_SUCCESS);
    ASSERT_EQ(psWriteDefaultFile(&opts), 0);
    clearTrace();
    psDeleteDefaultFile(1);
    EXPECT_FALSE(keyExists(kProxyKeyPath));
    EXPECT_TRUE(traceShapes().empty());
    psDeleteDefaultFile(0);
    EXPECT_EQ(traceCount("psDeleteDefaultFile(): RegOpenPathEx():  Win32 RC = 2."), 1);
}
