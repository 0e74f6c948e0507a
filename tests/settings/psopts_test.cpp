#include "settings/psopts.h"

#include <cstring>

#include "settings/registry.h"
#include "settings/settingskeys.h"
#include "store_fixture.h"

namespace {

using DefaultOptions = StoreTest;

// Stores the given values as REG_SZ under the defaults key, creating it.
void storeValues(std::initializer_list<std::pair<const char*, std::string>> values) {
    HKEY key = nullptr;
    LONG rc = 0;
    ASSERT_EQ(RegCreatePathEx(HKEY_LOCAL_MACHINE, kDefaultsKeyPath, &key, &rc), 1);
    for (const auto& [name, text] : values) {
        ASSERT_EQ(setRegValue(key, name, text.c_str(), REG_SZ, 0, &rc), 1);
    }
    (void)RegCloseKey(key);
}

OptionsRecord record(const char* server, const char* port, const char* traceFile,
                     const char* cgiUrl) {
    OptionsRecord opts{};
    memcpy(opts.server, server, strlen(server) + 1);
    memcpy(opts.port, port, strlen(port) + 1);
    memcpy(opts.traceFile, traceFile, strlen(traceFile) + 1);
    memcpy(opts.cgiUrl, cgiUrl, strlen(cgiUrl) + 1);
    return opts;
}

bool keyExists(const char* path) {
    HKEY key = nullptr;
    LONG rc = 0;
    if (!RegOpenPathEx(HKEY_LOCAL_MACHINE, path, &key, &rc)) return false;
    (void)RegCloseKey(key);
    return true;
}

const char* failingValue = nullptr;
LONG failThatValue(const char* function, const char* name) {
    return strcmp(function, "RegSetValueExA") == 0 && strcmp(name, failingValue) == 0
               ? ERROR_DISK_FULL
               : ERROR_SUCCESS;
}

}  // namespace

TEST_F(DefaultOptions, NoStoreLeavesTheRecordAlone) {
    OptionsRecord opts = record("keep", "1", "t", "u");
    EXPECT_EQ(psReadDefaultFile(&opts), 0);
    EXPECT_STREQ(opts.server, "keep");
    EXPECT_STREQ(opts.cgiUrl, "u");
    EXPECT_EQ(traceShapes(),
              std::vector<std::string>{
                  "(psopts, NNN) psReadDefaultFile(): RegOpenPathEx(): Win32 RC=2 ."});
    EXPECT_FALSE(storeExists());
}

TEST_F(DefaultOptions, MissingValuesReadAsEmptyAndAreTraced) {
    storeValues({{"DefaultServerAddress", "velk.example"}});
    OptionsRecord opts = record("x", "x", "x", "x");
    EXPECT_EQ(psReadDefaultFile(&opts), 0);
    EXPECT_STREQ(opts.server, "velk.example");
    EXPECT_STREQ(opts.port, "");
    EXPECT_STREQ(opts.traceFile, "");
    EXPECT_STREQ(opts.cgiUrl, "");
    EXPECT_EQ(traceLines().size(), 3u);
    for (const char* name : {"DefaultServerPort", "CgiUrl", "TraceFile"}) {
        EXPECT_EQ(traceCount(std::string("getRegValue(") + name + "): Win32 RC=2 ."), 1) << name;
    }
}

TEST_F(DefaultOptions, TextsUpTo63CharactersReadBackWhole) {
    struct Case {
        std::string stored;
        std::string read;
    };
    const Case cases[] = {
        {"1500", "1500"},
        {std::string(63, 'a'), std::string(63, 'a')},
        {std::string(64, 'b'), ""},  // 65 bytes with the terminator: does not fit
        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored.size());
        storeValues({{"DefaultServerPort", c.stored}});
        OptionsRecord opts = record("", "old text", "", "");
        EXPECT_EQ(psReadDefaultFile(&opts), 0);
        EXPECT_EQ(std::string(opts.port), c.read);
        EXPECT_EQ(opts.port[kOptionTextSize - 1], '\0');
    }
    EXPECT_EQ(traceCount("getRegValue(DefaultServerPort): Win32 RC=234 ."), 1);
}

TEST_F(DefaultOptions, AValueWithoutTerminatorStillGivesATerminatedField) {
    HKEY key = nullptr;
    LONG rc = 0;
    ASSERT_EQ(RegCreatePathEx(HKEY_LOCAL_MACHINE, kDefaultsKeyPath, &key, &rc), 1);
    std::string raw(64, 'r');
    ASSERT_EQ(setRegValue(key, "CgiUrl", raw.data(), REG_BINARY, 64, &rc), 1);
    ASSERT_EQ(setRegValue(key, "TraceFile", "ab", REG_BINARY, 2, &rc), 1);
    (void)RegCloseKey(key);
    OptionsRecord opts = record("", "", "old trace name", "");
    EXPECT_EQ(psReadDefaultFile(&opts), 0);
    EXPECT_EQ(std::string(opts.cgiUrl), raw);
    EXPECT_STREQ(opts.traceFile, "ab") << "nothing of the old text is left behind";
}

TEST_F(DefaultOptions, WriteThenReadRoundTrips) {
    OptionsRecord written = record("10.1.2.3", "1500", "", "http://web/cgi-bin/velkproxy");
    ASSERT_EQ(psWriteDefaultFile(&written), 0);
    OptionsRecord opts{};
    EXPECT_EQ(psReadDefaultFile(&opts), 0);
    EXPECT_EQ(memcmp(&opts, &written, sizeof opts), 0);
    EXPECT_TRUE(traceLines().empty());
    EXPECT_EQ(rawQuery("SELECT hex(data) FROM regvalue WHERE name = 'TraceFile'"), "00")
        << "an empty field is stored as an empty text";
}

TEST_F(DefaultOptions, OnlyTheLastWriteDecidesTheResult) {
    struct Case {
        const char* failing;
        int result;
    };
    const Case cases[] = {{"CgiUrl", -1}, {"DefaultServerAddress", 0}, {"TraceFile", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failing);
        clearTrace();
        failingValue = c.failing;
        regSetFaultHook(failThatValue);
        OptionsRecord opts = record("s", "1", "t", "u");
        EXPECT_EQ(psWriteDefaultFile(&opts), c.result);
        regSetFaultHook(nullptr);
        EXPECT_EQ(traceCount(std::string("psWriteDefaultFile(): setRegValue(") + c.failing +
                             "): Win32 RC = 112."),
                  1);
        EXPECT_EQ(traceLines().size(), 1u) << "the other writes were still made";
    }
}

TEST_F(DefaultOptions, AStoreThatCannotBeOpenedFailsTheWrite) {
    writeFile(storePath(), "this is not a database, and must stay so");
    OptionsRecord opts = record("s", "1", "t", "u");
    EXPECT_EQ(psWriteDefaultFile(&opts), -1);
    EXPECT_EQ(traceCount("psWriteDefaultFile():  RegCreatePathEx(): Win32 RC = 1009."), 1);
    EXPECT_EQ(fileBytes(storePath()), "this is not a database, and must stay so");
    EXPECT_EQ(psReadDefaultFile(&opts), 0);
    EXPECT_EQ(traceCount("psReadDefaultFile(): RegOpenPathEx(): Win32 RC=1009 ."), 1);
    EXPECT_STREQ(opts.server, "s");
}

TEST_F(DefaultOptions, DeleteTakesTheParentOnlyWhenItIsBare) {
    OptionsRecord opts = record("s", "1", "t", "u");
    ASSERT_EQ(psWriteDefaultFile(&opts), 0);
    HKEY credentials = nullptr;
    LONG rc = 0;
    ASSERT_EQ(RegCreatePathEx(HKEY_LOCAL_MACHINE, kCredentialsKeyPath, &credentials, &rc), 1);
    (void)RegCloseKey(credentials);

    psDeleteDefaultFile(1);
    EXPECT_FALSE(keyExists(kDefaultsKeyPath));
    EXPECT_TRUE(keyExists(kProxyKeyPath)) << "the credentials key still holds it";

    ASSERT_EQ(RegOpenPathEx(HKEY_LOCAL_MACHINE, kCredentialsKeyPath, &credentials, &rc), 1);
    ASSERT_EQ(deleteRegKey(credentials, nullptr, &rc), 1);
    (void)RegCloseKey(credentials);
    ASSERT_EQ(psWriteDefaultFile(&opts), 0);
    clearTrace();
    psDeleteDefaultFile(1);
    EXPECT_FALSE(keyExists(kDefaultsKeyPath));
    EXPECT_FALSE(keyExists(kProxyKeyPath));
    EXPECT_TRUE(traceLines().empty());

    psDeleteDefaultFile(0);
    EXPECT_EQ(traceCount("psDeleteDefaultFile(): RegOpenPathEx():  Win32 RC = 2."), 1);
}
