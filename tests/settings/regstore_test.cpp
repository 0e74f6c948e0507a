#include "settings/regstore.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "store_fixture.h"

namespace {

using RegStore = StoreTest;

// Creates `path` below HKEY_LOCAL_MACHINE with full access and hands back the open key.
HKEY create(const char* path) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, "REG_SZ", 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    return key;
}

LONG setText(HKEY key, const char* name, const char* text) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                          static_cast<DWORD>(strlen(text) + 1));
}

// The text of value `name` of `path`, or "<code>" when it cannot be read.
std::string readText(const char* path, const char* name) {
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key);
    if (rc != ERROR_SUCCESS) return codeText(rc);
    char buffer[512] = {};
    DWORD size = sizeof buffer - 1;
    rc = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
    (void)RegCloseKey(key);
    return rc == ERROR_SUCCESS ? std::string(buffer) : codeText(rc);
}

LONG failEveryChange(const char*, const char*) {
    return ERROR_DISK_FULL;
}

}  // namespace

TEST_F(RegStore, ReadingAMissingStoreFindsNothingAndCreatesNothing) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(HKEY_LOCAL_MACHINE, "x", nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueA(HKEY_LOCAL_MACHINE, "x"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(regBeginTransaction(RegTxMode::Read), ERROR_SUCCESS);
    EXPECT_EQ(readText("SOFTWARE", "x"), "<2>");
    EXPECT_EQ(regCommitTransaction(), ERROR_SUCCESS);
    EXPECT_FALSE(std::filesystem::exists(folder())) << "a read must not create the folder";
}

TEST_F(RegStore, FirstWriteCreatesThePrivateFolderAndFile) {
    HKEY key = create("SOFTWARE\\Test");
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    struct stat st {};
    ASSERT_EQ(stat(folder().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(storePath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(RegStore, NamesIgnoreCaseAndKeepTheirFirstSpelling) {
    HKEY key = create("Software\\MixedCase");
    ASSERT_EQ(setText(key, "DefaultServerPort", "1500"), ERROR_SUCCESS);
    ASSERT_EQ(setText(key, "DEFAULTSERVERPORT", "1501"), ERROR_SUCCESS);
    (void)RegCloseKey(key);
    HKEY again = create("SOFTWARE\\MIXEDCASE");  // opens, does not create a second key
    (void)RegCloseKey(again);
    EXPECT_EQ(readText("software\\mixedcase", "defaultserverport"), "1501");
    EXPECT_EQ(rawQuery("SELECT name FROM regkey WHERE id > 4 ORDER BY id"), "Software|MixedCase");
    EXPECT_EQ(rawQuery("SELECT name FROM regvalue"), "DefaultServerPort");
}

TEST_F(RegStore, QueryReportsSizeAndRefusesSmallBuffers) {
    HKEY key = create("SOFTWARE\\Values");
    const BYTE blob[6] = {1, 0, 2, 0, 3, 0};
    ASSERT_EQ(RegSetValueExA(key, "Blob", 0, REG_BINARY, blob, sizeof blob), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "Empty", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Blob", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(size, 6u);
    BYTE out[8] = {};
    size = 5;
    EXPECT_EQ(RegQueryValueExA(key, "Blob", nullptr, nullptr, out, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(out[0], 0) << "a refused read copies nothing";
    size = 6;
    EXPECT_EQ(RegQueryValueExA(key, "Blob", nullptr, nullptr, out, &size), ERROR_SUCCESS);
    EXPECT_EQ(memcmp(out, blob, 6), 0);
    size = sizeof out;
    EXPECT_EQ(RegQueryValueExA(key, "Empty", nullptr, &type, out, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, nullptr, out, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueA(key, "blob"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key, "Blob"), ERROR_FILE_NOT_FOUND);
    (void)RegCloseKey(key);
}

TEST_F(RegStore, HandlesKeepToTheirRights) {
    (void)RegCloseKey(create("SOFTWARE\\Rights"));
    HKEY reader = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Rights", 0, KEY_READ, &reader),
              ERROR_SUCCESS);
    EXPECT_EQ(setText(reader, "x", "y"), ERROR_ACCESS_DENIED);
    HKEY child = nullptr;
    EXPECT_EQ(RegCreateKeyExA(reader, "Child", 0, nullptr, 0, KEY_READ, nullptr, &child, nullptr),
              ERROR_ACCESS_DENIED);
    (void)RegCloseKey(reader);
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS) << "roots are never closed";
}

TEST_F(RegStore, DeletingKeys) {
    HKEY parent = create("SOFTWARE\\Parent\\Child");
    ASSERT_EQ(setText(parent, "v", "1"), ERROR_SUCCESS);
    (void)RegCloseKey(parent);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Parent"), ERROR_ACCESS_DENIED)
        << "a key with sub-keys stays";
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, nullptr), ERROR_ACCESS_DENIED);
    HKEY child = nullptr;
    ASSERT_EQ(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Parent\\Child", 0, KEY_ALL_ACCESS, &child),
        ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(child, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(setText(child, "v", "2"), ERROR_KEY_DELETED) << "a stale handle writes nothing";
    (void)RegCloseKey(child);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Parent"), ERROR_SUCCESS);
    EXPECT_EQ(rawQuery("SELECT count(*) FROM regvalue"), "0") << "values go with their key";
    HKEY recreated = create("SOFTWARE\\Parent\\Child");
    EXPECT_EQ(readText("SOFTWARE\\Parent\\Child", "v"), "<2>") << "no value survives a re-create";
    (void)RegCloseKey(recreated);
}

TEST_F(RegStore, AnotherMachineAndOverlongNamesAreRefused) {
    HKEY key = nullptr;
    EXPECT_EQ(RegConnectRegistryA("\\\\elsewhere", HKEY_LOCAL_MACHINE, &key), ERROR_BAD_NETPATH);
    EXPECT_EQ(RegConnectRegistryA(nullptr, HKEY_USERS, &key), ERROR_SUCCESS);
    EXPECT_EQ(key, HKEY_USERS);
    std::string longName(kRegKeyNameMax + 1, 'k');
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, longName.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_INVALID_PARAMETER);
    longName.pop_back();
    key = create(longName.c_str());
    std::string bigValue(kRegValueDataMax + 1, 'v');
    EXPECT_EQ(
        RegSetValueExA(key, "big", 0, REG_BINARY, reinterpret_cast<const BYTE*>(bigValue.data()),
                       static_cast<DWORD>(bigValue.size())),
        ERROR_INVALID_PARAMETER);
    (void)RegCloseKey(key);
}

// A file that is not a settings store is reported and left exactly as it was, by reads and
// writes alike.
TEST_F(RegStore, DamagedOrForeignFilesAreNeverReplaced) {
    struct Case {
        const char* what;
        std::function<void()> make;
    };
    const Case cases[] = {
        {"garbage", [&] { writeFile(storePath(), std::string(4096, 'g')); }},
        {"foreign database",
         [&] {
             writeFile(storePath(), "");
             rawQuery("CREATE TABLE accounts(name TEXT); INSERT INTO accounts VALUES ('x')");
         }},
        {"damaged page",
         [&] {
             (void)RegCloseKey(create("SOFTWARE\\Soon\\Damaged"));
             std::string bytes = fileBytes(storePath());
             ASSERT_GT(bytes.size(), 2048u);
             for (size_t i = 1024 + 100; i < bytes.size(); ++i) bytes[i] = '\xff';
             writeFile(storePath(), bytes);
             std::filesystem::remove(storePath() + "-wal");
             std::filesystem::remove(storePath() + "-shm");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(folder());
        c.make();
        std::string before = fileBytes(storePath());
        HKEY key = nullptr;
        LONG readRc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Soon", 0, KEY_READ, &key);
        EXPECT_NE(readRc, ERROR_SUCCESS);
        EXPECT_NE(readRc, ERROR_FILE_NOT_FOUND) << "damage must not look like an empty store";
        EXPECT_NE(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\New", 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        if (regBeginTransaction() == ERROR_SUCCESS) {  // damage inside a page shows at first use
            EXPECT_NE(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\New", 0, nullptr, 0,
                                      KEY_ALL_ACCESS, nullptr, &key, nullptr),
                      ERROR_SUCCESS);
            EXPECT_NE(regCommitTransaction(), ERROR_SUCCESS);
        }
        EXPECT_EQ(fileBytes(storePath()), before);
        EXPECT_GE(traceCount("settings store"), 1);
        clearTrace();
    }
}

TEST_F(RegStore, AnEmptyFileIsAnEmptyStore) {
    writeFile(storePath(), "");
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    (void)RegCloseKey(create("SOFTWARE"));
    EXPECT_EQ(readText("SOFTWARE", "x"), "<2>");
}

TEST_F(RegStore, TransactionCommitsAllOrNothing) {
    (void)RegCloseKey(create("SOFTWARE\\Tx"));
    {
        RegTransaction tx;
        ASSERT_EQ(tx.begun(), ERROR_SUCCESS);
        HKEY key = create("SOFTWARE\\Tx");
        EXPECT_EQ(setText(key, "a", "1"), ERROR_SUCCESS);
        EXPECT_EQ(setText(key, "b", "1"), ERROR_SUCCESS);
        (void)RegCloseKey(key);
        EXPECT_EQ(tx.commit(), ERROR_SUCCESS);
    }
    EXPECT_EQ(readText("SOFTWARE\\Tx", "a"), "1");
    {
        RegTransaction tx;  // left without a commit: rolled back
        HKEY key = create("SOFTWARE\\Tx\\Gone");
        EXPECT_EQ(setText(key, "a", "2"), ERROR_SUCCESS);
        (void)RegCloseKey(key);
    }
    EXPECT_EQ(readText("SOFTWARE\\Tx\\Gone", "a"), "<2>");
    {
        // One failed write spoils the whole scope.
        RegTransaction tx;
        HKEY key = create("SOFTWARE\\Tx");
        EXPECT_EQ(setText(key, "a", "3"), ERROR_SUCCESS);
        regSetFaultHook(failEveryChange);
        EXPECT_EQ(setText(key, "b", "3"), ERROR_DISK_FULL);
        regSetFaultHook(nullptr);
        (void)RegCloseKey(key);
        EXPECT_EQ(tx.commit(), ERROR_DISK_FULL);
    }
    EXPECT_EQ(readText("SOFTWARE\\Tx", "a"), "1");
    EXPECT_EQ(readText("SOFTWARE\\Tx", "b"), "1");
}

TEST_F(RegStore, NestedScopesJoinTheOuterOne) {
    ASSERT_EQ(regBeginTransaction(), ERROR_SUCCESS);
    HKEY key = create("SOFTWARE\\Nest");
    ASSERT_EQ(regBeginTransaction(RegTxMode::Read), ERROR_SUCCESS);
    EXPECT_EQ(setText(key, "inner", "1"), ERROR_SUCCESS);
    regRollbackTransaction();
    (void)RegCloseKey(key);
    EXPECT_EQ(regCommitTransaction(), ERROR_CANCELLED);
    EXPECT_EQ(readText("SOFTWARE\\Nest", "inner"), "<2>");
    ASSERT_EQ(regBeginTransaction(RegTxMode::Read), ERROR_SUCCESS);
    EXPECT_EQ(regBeginTransaction(RegTxMode::Write), ERROR_ACCESS_DENIED);
    EXPECT_EQ(regCommitTransaction(), ERROR_SUCCESS);
    EXPECT_EQ(regCommitTransaction(), ERROR_INVALID_PARAMETER) << "no scope is open";
}

// A process that dies in the middle of a change leaves the value it found.
TEST_F(RegStore, ACrashInTheMiddleOfAWriteLeavesTheOldValue) {
    HKEY key = create("SOFTWARE\\Crash");
    ASSERT_EQ(setText(key, "v", "old"), ERROR_SUCCESS);
    (void)RegCloseKey(key);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (regBeginTransaction() != ERROR_SUCCESS) _exit(2);
        HKEY k = create("SOFTWARE\\Crash");
        if (setText(k, "v", "new") != ERROR_SUCCESS) _exit(3);
        _exit(0);  // dies with the change written but never committed
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(readText("SOFTWARE\\Crash", "v"), "old");
}
