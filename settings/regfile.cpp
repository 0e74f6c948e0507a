// see regfile.h
#include "settings/regfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "common/notice.h"
#include "common/trace.h"
#include "settings/regsqlite.h"
#include "settings/regstmt.h"

static constexpr const char kTraceSource[] = "regstore";

namespace {

// Marks a database as a settings store ("KPRG") and the layout version this code writes.
constexpr int kApplicationId = 0x4B505247;
constexpr int kLayoutVersion = 1;

constexpr const char kLayout[] =
    "CREATE TABLE IF NOT EXISTS regkey("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " parent INTEGER NOT NULL,"
    " name TEXT NOT NULL COLLATE NOCASE,"
    " class TEXT,"
    " UNIQUE(parent, name));"
    "CREATE TABLE IF NOT EXISTS regvalue("
    " key INTEGER NOT NULL,"
    " name TEXT NOT NULL COLLATE NOCASE,"
    " type INTEGER NOT NULL,"
    " data BLOB NOT NULL,"
    " PRIMARY KEY(key, name)) WITHOUT ROWID;"
    "INSERT OR IGNORE INTO regkey(id, parent, name) VALUES"
    " (1, 0, 'HKEY_CLASSES_ROOT'), (2, 0, 'HKEY_CURRENT_USER'),"
    " (3, 0, 'HKEY_LOCAL_MACHINE'), (4, 0, 'HKEY_USERS');"
    "PRAGMA application_id = 1263555143;"
    "PRAGMA user_version = 1;";
static_assert(kApplicationId == 1263555143);

struct Store {
    sqlite3* db = nullptr;
    int shares = 0;
    bool laidOut = false;  // the tables exist
    std::string path;
    dev_t device = 0;  // the file opened at `path`, told from one put there later
    ino_t inode = 0;
    int64_t openings = 0;
};
Store store;

// Tells the administrator why the store cannot be used: `what` is "opened", "created" or
// "written", `reason` the system's words for it.
void noteStore(const char* what, const char* reason) {
    noteProblem("settings store %s cannot be %s: %s", store.path.c_str(), what, reason);
}

const char* storePath() {
    const char* env = getenv("KORPROXY_REGISTRY");
    return (env != nullptr && env[0] != '\0') ? env : kRegDefaultStore;
}

// The folder that holds `path`: "." for a bare name, "/" for a file at the top.
std::string folderOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

// Creates the missing folders above `path`, each 0700. Returns 0 or a code.
LONG makeFolders(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return ERROR_SUCCESS;
    std::string folder = path.substr(0, slash);
    struct stat st {};
    if (stat(folder.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return ERROR_SUCCESS;
        noteStore("created", (folder + ": " + strerror(ENOTDIR)).c_str());
        return ERROR_CANTOPEN;
    }
    LONG rc = makeFolders(folder);
    if (rc != ERROR_SUCCESS) return rc;
    if (mkdir(folder.c_str(), 0700) == 0) {
        (void)chmod(folder.c_str(), 0700);  // whatever the umask took away
        return ERROR_SUCCESS;
    }
    int err = errno;
    if (err == EEXIST) return ERROR_SUCCESS;  // another process was first
    TRACE("(%s, %d) settings store %s: cannot create the folder (errno %d).\n", TRACE_AT,
          folder.c_str(), err);
    noteStore("created", (folder + ": " + strerror(err)).c_str());
    return err == EACCES ? ERROR_ACCESS_DENIED : ERROR_CANTOPEN;
}

// A store created by root (an administrator running the command line by hand) is handed to the
// owner of its folder, the web server's user, which could not open a root-owned file. SQLite
// gives the files it keeps beside the store the owner of the store.
void giveToFolderOwner(int fd, const std::string& path) {
    if (geteuid() != 0) return;
    std::string folder = folderOf(path);
    struct stat st {};
    if (stat(folder.c_str(), &st) == 0 && fchown(fd, st.st_uid, st.st_gid) != 0) {
        TRACE("(%s, %d) settings store %s: cannot hand it to the folder's owner (errno %d).\n",
              TRACE_AT, path.c_str(), errno);
    }
}

// Creates an empty store file readable by its owner only.
LONG makeFile(const std::string& path) {
    LONG rc = makeFolders(path);
    if (rc != ERROR_SUCCESS) return rc;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        int err = errno;
        if (err == EEXIST) return ERROR_SUCCESS;  // another process was first
        TRACE("(%s, %d) settings store %s: cannot create the file (errno %d).\n", TRACE_AT,
              path.c_str(), err);
        noteStore("created", strerror(err));
        return err == EACCES ? ERROR_ACCESS_DENIED : ERROR_CANTOPEN;
    }
    (void)fchmod(fd, 0600);
    giveToFolderOwner(fd, path);
    close(fd);
    return ERROR_SUCCESS;
}

// One mark of the database's header (a PRAGMA naming it), or -1 when it cannot be read.
int headerMark(sqlite3* db, const char* pragma) {
    RegStmt mark(db, pragma);
    if (mark.prepared() != SQLITE_OK || mark.step() != SQLITE_ROW) return -1;
    return sqlite3_column_int(mark.get(), 0);
}

// Tells a settings store from an empty database and from anything else. Returns 0 with *laidOut
// set, or ERROR_BADDB for a file this program must not touch. A store's two marks are read first,
// without the schema: once the application id is there the layout has landed whole, so the version
// read after it is the layout's. Anything else is settled by one statement that reads all three
// marks, so that a process laying the store out meanwhile is seen either before or after, never
// halfway.
LONG checkLayout(sqlite3* db, bool* laidOut) {
    if (headerMark(db, "PRAGMA application_id") == kApplicationId &&
        headerMark(db, "PRAGMA user_version") == kLayoutVersion) {
        *laidOut = true;
        return ERROR_SUCCESS;
    }
    RegStmt marks(db,
                  "SELECT a.application_id, v.user_version, (SELECT count(*) FROM sqlite_master)"
                  " FROM pragma_application_id a, pragma_user_version v");
    if (marks.prepared() != SQLITE_OK) return regFail(db, marks.prepared());
    int rc = marks.step();
    if (rc != SQLITE_ROW) return regFail(db, rc);
    int appId = sqlite3_column_int(marks.get(), 0);
    int version = sqlite3_column_int(marks.get(), 1);
    int objects = sqlite3_column_int(marks.get(), 2);
    if (appId == kApplicationId && version == kLayoutVersion) {
        *laidOut = true;
        return ERROR_SUCCESS;
    }
    if (appId == 0 && version == 0 && objects == 0) {
        *laidOut = false;
        return ERROR_SUCCESS;
    }
    TRACE("(%s, %d) settings store %s: not a settings store (application id %d, version %d).\n",
          TRACE_AT, store.path.c_str(), appId, version);
    return ERROR_BADDB;
}

// checkLayout under one shared lock, which a settings store keeps while SQLite reads its schema
// too: each statement outside a transaction takes and releases the lock on its own, and the
// schema would otherwise be read under a third, by the first statement that needs it.
LONG checkOpenedStore(sqlite3* db, bool* laidOut) {
    LONG rc = regExec(db, "BEGIN");
    if (rc != ERROR_SUCCESS) return rc;
    rc = checkLayout(db, laidOut);
    if (rc == ERROR_SUCCESS && *laidOut) {
        (void)sqlite3_table_column_metadata(db, "main", "regvalue", nullptr, nullptr, nullptr,
                                            nullptr, nullptr, nullptr);
    }
    (void)regExec(db, "COMMIT");  // it changed nothing
    return rc;
}

// Writes the tables into an empty store. Another process may be doing the same: the check is
// repeated under the write lock. The store keeps SQLite's rollback journal: a reader takes a
// shared lock on the file and reads it, where a write-ahead log would have every process that
// opens the store first rebuild the log's shared index (and create its two files, even to read).
LONG layOut(sqlite3* db) {
    LONG rc = regExec(db, "BEGIN IMMEDIATE");
    if (rc != ERROR_SUCCESS) return rc;
    bool laidOut = false;
    rc = checkLayout(db, &laidOut);
    if (rc == ERROR_SUCCESS && !laidOut) rc = regExec(db, kLayout);
    if (rc == ERROR_SUCCESS) rc = regExec(db, "COMMIT");
    if (rc != ERROR_SUCCESS) (void)regExec(db, "ROLLBACK");
    return rc;
}

// Makes sure the file at store.path exists when `need` is a change. Returns 0, or 2 for a read
// of a missing store, or a code.
LONG findOrMakeFile(RegNeed need) {
    struct stat st {};
    if (stat(store.path.c_str(), &st) == 0) return ERROR_SUCCESS;
    if (errno != ENOENT && errno != ENOTDIR) {
        noteStore("opened", strerror(errno));
        return ERROR_ACCESS_DENIED;
    }
    return need == RegNeed::kRead ? ERROR_FILE_NOT_FOUND : makeFile(store.path);
}

// Opens the connection to the checked file, laid out when `need` is a change.
LONG openChecked(RegNeed need, sqlite3** opened) {
    sqlite3* db = nullptr;
    int rc = regSqliteOpen(store.path.c_str(), &db);
    if (rc != SQLITE_OK) {
        noteStore("opened", regSqliteReason(db, rc));
        LONG code = (sqlite3_system_errno(db) == EACCES) ? ERROR_ACCESS_DENIED : regFail(db, rc);
        sqlite3_close(db);
        return code;
    }
    LONG code = checkOpenedStore(db, &store.laidOut);
    if (code == ERROR_SUCCESS && !store.laidOut) {
        if (need == RegNeed::kRead) {
            code = ERROR_FILE_NOT_FOUND;
        } else {
            code = layOut(db);
            store.laidOut = (code == ERROR_SUCCESS);
        }
    }
    if (code != ERROR_SUCCESS) {
        sqlite3_close(db);
        return code;
    }
    *opened = db;
    return ERROR_SUCCESS;
}

LONG openStore(RegNeed need) {
    store.path = storePath();
    LONG rc = findOrMakeFile(need);
    if (rc == ERROR_SUCCESS) rc = openChecked(need, &store.db);
    if (rc != ERROR_SUCCESS) return rc;
    regStmtCacheOpen(store.db);
    struct stat opened {};
    if (stat(store.path.c_str(), &opened) == 0) {
        store.device = opened.st_dev;
        store.inode = opened.st_ino;
    }
    ++store.openings;
    return ERROR_SUCCESS;
}

LONG acquireShare(RegNeed need, sqlite3** db) {
    if (store.db == nullptr) {
        LONG rc = openStore(need);
        if (rc != ERROR_SUCCESS) return rc;
    } else if (need == RegNeed::kChange && !store.laidOut) {
        LONG rc = layOut(store.db);
        if (rc != ERROR_SUCCESS) return rc;
        store.laidOut = true;
    }
    ++store.shares;
    *db = store.db;
    return ERROR_SUCCESS;
}

}  // namespace

LONG regFail(sqlite3* db, int sqliteCode) {
    const char* message = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(sqliteCode);
    TRACE("(%s, %d) settings store %s: %s (SQLite code %d).\n", TRACE_AT, store.path.c_str(),
          message, sqliteCode);
    LONG code = regCodeForSqlite(sqliteCode);
    // Contention and damaged files are the trace's business; refused access, a full disk or a
    // failing device are the administrator's, who reads the web server's error log.
    if (code == ERROR_CANTOPEN) noteStore("opened", regSqliteReason(db, sqliteCode));
    if (code == ERROR_ACCESS_DENIED || code == ERROR_DISK_FULL || code == ERROR_REGISTRY_IO_FAILED)
        noteStore("written", regSqliteReason(db, sqliteCode));
    return code;
}

LONG regExec(sqlite3* db, const char* sql) {
    int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    return rc == SQLITE_OK ? ERROR_SUCCESS : regFail(db, rc);
}

LONG regAcquire(RegNeed need, sqlite3** db) {
    // Opening keeps the store's path; without memory for it the operation fails with a code.
    try {
        return acquireShare(need, db);
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

void regRelease() {
    if (store.shares > 0 && --store.shares == 0) {
        regStmtCacheClose();
        sqlite3_close_v2(store.db);  // a statement still in use closes it when finalized
        store.db = nullptr;
        store.laidOut = false;
    }
}

RegOpenConnection regOpenConnection() {
    return {store.db, store.openings};
}

int regStoreShares() {
    return store.shares;
}

bool regHoldStore() {
    sqlite3* db = nullptr;
    return regAcquire(RegNeed::kRead, &db) == ERROR_SUCCESS;
}

void regReleaseStore() {
    regRelease();
}

std::string regStorePlace() {
    return storePath();
}

std::string regStoreFolder() {
    return folderOf(storePath());
}

bool regHeldStoreMoved() {
    if (store.db == nullptr) return false;
    if (storePath() != store.path) return true;
    struct stat st {};
    return stat(store.path.c_str(), &st) != 0 || st.st_dev != store.device ||
           st.st_ino != store.inode;
}
