#include "settings/regstore.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstring>
#include <functional>
#include <memory>

#include "settings/regfile.h"
#include "settings/regstmt.h"
#include "store_fixture.h"

namespace {

using RegStore = StoreTest;

LONG setAt(const char* path, const char* name, const char* text) {
    return storeValue(path, name, REG_SZ, std::string(text) + '\0');
}

std::string text(const char* path, const char* name) {
    std::string bytes = storedValue(path, name);
    return bytes[0] == '<' ? bytes : std::string(bytes.c_str());
}

}  // namespace

TEST_F(RegStore, ReadingAMissingStoreCreatesNothingTheFirstWriteMakesItPrivateToTheFolderOwner) {
    HKEY key = nullptr;
    DWORD size = 0;
    for (LONG rc :
         {RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key),
          RegQueryValueExA(HKEY_LOCAL_MACHINE, "x", nullptr, nullptr, nullptr, &size),
          RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE"), RegDeleteValueA(HKEY_LOCAL_MACHINE, "x")})
        EXPECT_EQ(rc, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(regBeginTransaction(RegTxMode::kRead), ERROR_SUCCESS);
    EXPECT_EQ(regCommitTransaction(), ERROR_SUCCESS);
    EXPECT_FALSE(std::filesystem::exists(folder())) << "a read must not create the folder";

    writeFile(storePath(), "");  // an empty file is an empty store, and becomes one on writing
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key), 2);
    EXPECT_EQ(setAt("SOFTWARE", "v", "1"), ERROR_SUCCESS);
    EXPECT_EQ(setAt("SOFTWARE", "V", "2"), ERROR_SUCCESS);
    EXPECT_EQ(rawQuery("SELECT name || data FROM regvalue"), "v2")
        << "a value keeps the spelling of its name it was first written with";
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, nullptr), ERROR_ACCESS_DENIED) << "a root stays";

    std::filesystem::remove_all(folder());
    EXPECT_EQ(setAt("SOFTWARE\\Test", "v", "1"), ERROR_SUCCESS);
    struct stat st {};
    EXPECT_EQ(stat(folder().c_str(), &st) == 0 ? st.st_mode & 0777 : 0, 0700u);
    EXPECT_EQ(stat(storePath().c_str(), &st) == 0 ? st.st_mode & 0777 : 0, 0600u);

    // Root creating the store, by hand from a console, hands it to the folder's owner, the web
    // server's user, which could not open a root-owned file.
    if (geteuid() != 0) return;
    std::filesystem::remove_all(folder());
    std::filesystem::create_directory(folder());
    ASSERT_EQ(chown(folder().c_str(), 65534, 65534), 0);
    EXPECT_EQ(setAt("SOFTWARE\\Test", "v", "1"), ERROR_SUCCESS);
    ASSERT_EQ(stat(storePath().c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
}

// A file that is not a settings store is reported and left exactly as it was, by reads and
// writes alike.
TEST_F(RegStore, DamagedOrForeignFilesAreNeverReplaced) {
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"garbage", [&] { writeFile(storePath(), std::string(4096, 'g')); }},
        {"foreign database",
         [&] {
             writeFile(storePath(), "");
             rawQuery("CREATE TABLE accounts(name TEXT); INSERT INTO accounts VALUES ('x')");
         }},
        {"damaged page",
         [&] {
             ASSERT_EQ(setAt("SOFTWARE\\Soon\\Damaged", "v", "1"), ERROR_SUCCESS);
             std::string bytes = fileBytes(storePath());
             for (size_t i = 200; i < bytes.size(); ++i) bytes[i] = '\xff';
             writeFile(storePath(), bytes);
         }},
    };
    for (const auto& [what, make] : cases) {
        SCOPED_TRACE(what);
        std::filesystem::remove_all(folder());
        make();
        std::string before = fileBytes(storePath());
        HKEY key = nullptr;
        LONG readRc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Soon", 0, KEY_READ, &key);
        EXPECT_NE(readRc, ERROR_SUCCESS);
        EXPECT_NE(readRc, ERROR_FILE_NOT_FOUND) << "damage must not look like an empty store";
        bool store = strcmp(what, "damaged page") == 0;  // a store, damaged further in
        EXPECT_TRUE(store || !RegStoreHold().held()) << "what is not a store is not held";
        EXPECT_NE(setAt("SOFTWARE\\New", "v", "1"), ERROR_SUCCESS);
        if (regBeginTransaction() == ERROR_SUCCESS) {  // damage inside a page shows at first use
            EXPECT_NE(setAt("SOFTWARE\\New", "v", "1"), ERROR_SUCCESS);
            EXPECT_NE(regCommitTransaction(), ERROR_SUCCESS);
        }
        EXPECT_EQ(fileBytes(storePath()), before);
        EXPECT_GE(traceCount("settings store"), 1);
        clearTrace();
    }
}

TEST_F(RegStore, AScopeCommitsAllOrNothingEvenWhenItsProcessDies) {
    ASSERT_EQ(setAt("SOFTWARE\\Tx", "a", "1"), ERROR_SUCCESS);
    {
        RegTransaction tx;
        EXPECT_EQ(setAt("SOFTWARE\\Tx", "a", "2"), ERROR_SUCCESS);
        EXPECT_EQ(setAt("SOFTWARE\\Tx", "b", "2"), ERROR_SUCCESS);
        EXPECT_EQ(tx.commit(), ERROR_SUCCESS);
    }
    EXPECT_EQ(text("SOFTWARE\\Tx", "b"), "2");
    {
        RegTransaction tx;  // ends without a commit
        EXPECT_EQ(setAt("SOFTWARE\\Tx\\Gone", "a", "3"), ERROR_SUCCESS);
    }
    EXPECT_EQ(text("SOFTWARE\\Tx\\Gone", "a"), "<2>");
    {
        RegTransaction tx;  // one failed write spoils the whole scope
        EXPECT_EQ(setAt("SOFTWARE\\Tx", "a", "4"), ERROR_SUCCESS);
        failingName = "*";
        regSetFaultHook(failNamedChange);
        EXPECT_EQ(setAt("SOFTWARE\\Tx", "b", "4"), ERROR_DISK_FULL);
        regSetFaultHook(nullptr);
        EXPECT_EQ(tx.commit(), ERROR_DISK_FULL);
    }
    EXPECT_EQ(text("SOFTWARE\\Tx", "a"), "2");
    // An inner scope joins the outer one; rolling it back fails the outer commit.
    ASSERT_EQ(regBeginTransaction(), ERROR_SUCCESS);
    ASSERT_EQ(regBeginTransaction(RegTxMode::kRead), ERROR_SUCCESS);
    EXPECT_EQ(setAt("SOFTWARE\\Tx", "a", "5"), ERROR_SUCCESS);
    regRollbackTransaction();
    EXPECT_EQ(regCommitTransaction(), ERROR_CANCELLED);
    EXPECT_EQ(text("SOFTWARE\\Tx", "a"), "2");
    EXPECT_EQ(regCommitTransaction(), ERROR_INVALID_PARAMETER) << "no scope is open";

    // A process that dies in the middle of a change leaves the old value.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(regBeginTransaction() || setAt("SOFTWARE\\Tx", "a", "new"));  // no commit
    int status = 0;
    EXPECT_TRUE(waitpid(child, &status, 0) == child && WIFEXITED(status) && !WEXITSTATUS(status));
    EXPECT_EQ(text("SOFTWARE\\Tx", "a"), "2");
}

TEST_F(RegStore, AHeldStoreIsOpenedOnceAndStillReadsWhatOthersWrite) {
    {
        RegStoreHold missing;
        EXPECT_EQ(regStoreShares(), 0) << "a store that does not exist is not held";
        EXPECT_EQ(text("SOFTWARE\\Held", "Server"), "<2>");
    }
    EXPECT_FALSE(storeExists()) << "holding a missing store creates nothing";

    ASSERT_EQ(setAt("SOFTWARE\\Held", "Server", "old"), ERROR_SUCCESS);
    {
        RegStoreHold held;
        EXPECT_EQ(regStoreShares(), 1);
        EXPECT_EQ(text("SOFTWARE\\Held", "Server"), "old");
        // Written behind the held connection's back, between two reads.
        EXPECT_EQ(rawQuery("UPDATE regvalue SET data = X'6E657700' WHERE name = 'Server'"), "");
        EXPECT_EQ(text("SOFTWARE\\Held", "Server"), "new");
        ASSERT_EQ(setAt("SOFTWARE\\Held", "Port", "1500"), ERROR_SUCCESS);
        EXPECT_EQ(regStoreShares(), 1) << "operations give back their own shares only";
    }
    EXPECT_EQ(regStoreShares(), 0) << "the hold's end closes the store";
    EXPECT_EQ(rawQuery("SELECT count(*) FROM regvalue"), "2");
}

TEST_F(RegStore, StatementsKeptByTheHeldStoreAreNeverSharedOrLeftBehind) {
    ASSERT_EQ(setAt("SOFTWARE\\Kept", "v", "1"), ERROR_SUCCESS);
    const char* sql = "SELECT count(*) FROM regvalue WHERE name = ?1";
    auto count = [](RegStmt& stmt) {
        stmt.bind(1, std::string_view("v"));
        return stmt.step() == SQLITE_ROW ? sqlite3_column_int(stmt.get(), 0) : -1;
    };
    std::unique_ptr<RegStmt> outer;
    {
        RegStoreHold held;
        sqlite3* db = nullptr;
        ASSERT_EQ(regAcquire(RegNeed::kRead, &db), ERROR_SUCCESS);
        auto a = std::make_unique<RegStmt>(db, sql);
        RegStmt b(db, sql);  // the same text while the first is in use
        EXPECT_NE(a->get(), b.get());
        EXPECT_EQ(count(*a), 1);
        EXPECT_EQ(count(b), 1);
        sqlite3_stmt* first = a->get();
        a.reset();
        outer = std::make_unique<RegStmt>(db, sql);
        EXPECT_EQ(outer->get(), first) << "kept and reset for the next user";
        EXPECT_EQ(count(*outer), 1) << "its bindings and its last step are gone";
        regRelease();
    }
    EXPECT_EQ(regStoreShares(), 0);
    outer.reset();  // outlived the connection: finalized by its user, the connection with it
    EXPECT_EQ(setAt("SOFTWARE\\Kept", "w", "2"), ERROR_SUCCESS);
    EXPECT_EQ(rawQuery("SELECT count(*) FROM regvalue"), "2");
}
