// see regdb.h
#include "settings/regdb.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "common/notice.h"
#include "common/trace.h"

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

// A request reads a dozen values through the same few statements; preparing each anew was a
// good part of a small page's cost. The held connection keeps them prepared until it closes.
constexpr size_t kRegStmtCacheSize = 16;

struct CachedStmt {
    sqlite3_stmt* stmt = nullptr;
    bool inUse = false;  // a RegStmt has it now; a second user of the same text prepares its own
};

struct Store {
    sqlite3* db = nullptr;
    int shares = 0;
    bool laidOut = false;         // the tables exist
    bool journalChecked = false;  // a write has made sure the store keeps the rollback journal
    std::string path;
    dev_t device = 0;  // the file opened at `path`, told from one put there later
    ino_t inode = 0;
    int64_t openings = 0;
    std::array<CachedStmt, kRegStmtCacheSize> cache{};
};
Store store;

// The held connection's prepared statement for `sql`, marked in use, or nullptr.
sqlite3_stmt* takeCached(sqlite3* db, const char* sql) {
    if (db != store.db) return nullptr;
    for (CachedStmt& c : store.cache) {
        if (c.stmt != nullptr && !c.inUse && std::strcmp(sqlite3_sql(c.stmt), sql) == 0) {
            c.inUse = true;
            return c.stmt;
        }
    }
    return nullptr;
}

// Keeps a statement of the held connection, in use, when there is room.
void keepCached(sqlite3* db, sqlite3_stmt* stmt) {
    if (db != store.db) return;
    for (CachedStmt& c : store.cache) {
        if (c.stmt == nullptr) {
            c = CachedStmt{stmt, true};
            return;
        }
    }
}

// Hands a kept statement back, ready for its next use. False when it is not in the cache (never
// kept, or the connection closed under it), and the caller finalizes it.
bool giveBackCached(sqlite3_stmt* stmt) {
    if (stmt == nullptr) return false;
    for (CachedStmt& c : store.cache) {
        if (c.stmt == stmt) {
            (void)sqlite3_reset(stmt);  // ends its read of the store; the step's code was seen
            (void)sqlite3_clear_bindings(stmt);
            c.inUse = false;
            return true;
        }
    }
    return false;
}

// Finalizes the statements nobody uses and lets go of the rest, which their users finalize.
void dropCached() {
    for (CachedStmt& c : store.cache) {
        if (c.stmt != nullptr && !c.inUse) sqlite3_finalize(c.stmt);
        c = CachedStmt{};
    }
}

struct Scope {
    int depth = 0;
    bool open = false;  // a database transaction is running (a read scope on no store has none)
    RegTxMode mode = RegTxMode::Write;
    LONG failure = ERROR_SUCCESS;  // first failed change inside the scope
    bool broken = false;           // the database ended the transaction after an error
};
Scope scope;

RegFaultHook faultHook = nullptr;

// Tells the administrator why the store cannot be used: `what` is "opened", "created" or
// "written", `reason` the system's words for it.
void noteStore(const char* what, const char* reason) {
    noteProblem("settings store %s cannot be %s: %s", store.path.c_str(), what, reason);
}

// The system's reason for the connection's last failure, else SQLite's own message.
const char* failureReason(sqlite3* db, int sqliteCode) {
    int err = db != nullptr ? sqlite3_system_errno(db) : 0;
    if (err != 0) return strerror(err);
    return db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(sqliteCode);
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

// The journal mode that `pragma` (reading or setting it) answers with, in lower case; empty when
// it cannot be read.
std::string journalMode(sqlite3* db, const char* pragma) {
    RegStmt stmt(db, pragma);
    if (stmt.prepared() != SQLITE_OK || stmt.step() != SQLITE_ROW) return {};
    const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), 0));
    return name != nullptr ? name : "";
}

// Moves a store that keeps a write-ahead log to the rollback journal, and removes the log's two
// files: a log file left beside the store would take every reader back to it. That takes the
// store to itself: while another process has it open the log stays, and the next write tries
// again. True when the store keeps the rollback journal.
bool leaveWriteAheadLog(sqlite3* db) {
    const std::string mode = journalMode(db, "PRAGMA journal_mode");
    if (mode != "wal") return !mode.empty();
    int keepWal = 0;
    (void)sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &keepWal);
    sqlite3_busy_timeout(db, 0);  // never wait for the readers: they may keep coming
    const bool left = journalMode(db, "PRAGMA journal_mode = DELETE") == "delete";
    sqlite3_busy_timeout(db, kRegBusyTimeoutMs);
    keepWal = left ? 0 : 1;
    (void)sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &keepWal);
    return left;
}

// A request opens the store once and reads a handful of its pages. SQLite's up-front blocks (its
// lookaside slots, the first twenty page-cache lines), each written through to link it into a free
// list, would make dozens of pages of memory resident for that. Without them it allocates as it
// goes. The program uses SQLite from one thread, so SQLite need not lock around its calls and
// allocations. Configuring only works before SQLite starts, so later calls change nothing.
void configureSqlite() {
    static const bool configured = [] {
        (void)sqlite3_config(SQLITE_CONFIG_SINGLETHREAD);  // one thread uses SQLite
        (void)sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);  // no count (and lock) per allocation
        (void)sqlite3_config(SQLITE_CONFIG_LOOKASIDE, 0, 0);
        (void)sqlite3_config(SQLITE_CONFIG_PAGECACHE, nullptr, 0, 0);
        return true;
    }();
    (void)configured;
}

LONG openStore(RegNeed need) {
    configureSqlite();
    store.path = storePath();
    struct stat st {};
    if (stat(store.path.c_str(), &st) != 0) {
        if (errno != ENOENT && errno != ENOTDIR) {
            noteStore("opened", strerror(errno));
            return ERROR_ACCESS_DENIED;
        }
        if (need == RegNeed::Read) return ERROR_FILE_NOT_FOUND;
        LONG rc = makeFile(store.path);
        if (rc != ERROR_SUCCESS) return rc;
    }
    sqlite3* db = nullptr;
    // One thread uses the connection: SQLite need not lock it around every call.
    int rc = sqlite3_open_v2(store.path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
        noteStore("opened", failureReason(db, rc));
        LONG code = (sqlite3_system_errno(db) == EACCES) ? ERROR_ACCESS_DENIED : regFail(db, rc);
        sqlite3_close(db);
        return code;
    }
    sqlite3_busy_timeout(db, kRegBusyTimeoutMs);
    // A store laid out by an earlier version keeps a write-ahead log until a write moves it to the
    // rollback journal. Meanwhile no closing process deletes the log under an opening one, and
    // the last to close copies the log into the file and empties it: every later request would
    // otherwise read the whole log back when it opens the store, and copy it again, with three
    // disk flushes, when it closes.
    int keepWal = 1;
    (void)sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &keepWal);
    (void)regExec(db, "PRAGMA journal_size_limit = 0");
    LONG code = checkOpenedStore(db, &store.laidOut);
    if (code == ERROR_SUCCESS && !store.laidOut) {
        if (need == RegNeed::Read) {
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
    store.db = db;
    struct stat opened {};
    if (stat(store.path.c_str(), &opened) == 0) {
        store.device = opened.st_dev;
        store.inode = opened.st_ino;
    }
    ++store.openings;
    return ERROR_SUCCESS;
}

void noteFailure(bool counts, LONG code) {
    if (counts && scope.depth > 0 && scope.failure == ERROR_SUCCESS) scope.failure = code;
}

}  // namespace

namespace {

LONG codeForSqlite(int sqliteCode) {
    switch (sqliteCode & 0xff) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return ERROR_BUSY;
        case SQLITE_NOTADB:
        case SQLITE_CORRUPT:
        case SQLITE_SCHEMA:
            return ERROR_BADDB;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return ERROR_ACCESS_DENIED;
        case SQLITE_NOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case SQLITE_FULL:
            return ERROR_DISK_FULL;
        case SQLITE_CANTOPEN:
            return ERROR_CANTOPEN;
        case SQLITE_ERROR:  // a missing table: the layout was damaged by hand
            return ERROR_BADDB;
        default:
            return ERROR_REGISTRY_IO_FAILED;
    }
}

}  // namespace

LONG regFail(sqlite3* db, int sqliteCode) {
    const char* message = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(sqliteCode);
    TRACE("(%s, %d) settings store %s: %s (SQLite code %d).\n", TRACE_AT, store.path.c_str(),
          message, sqliteCode);
    LONG code = codeForSqlite(sqliteCode);
    // Contention and damaged files are the trace's business; refused access, a full disk or a
    // failing device are the administrator's, who reads the web server's error log.
    if (code == ERROR_CANTOPEN) noteStore("opened", failureReason(db, sqliteCode));
    if (code == ERROR_ACCESS_DENIED || code == ERROR_DISK_FULL || code == ERROR_REGISTRY_IO_FAILED)
        noteStore("written", failureReason(db, sqliteCode));
    return code;
}

namespace {

LONG acquireShare(RegNeed need, sqlite3** db) {
    if (store.db == nullptr) {
        LONG rc = openStore(need);
        if (rc != ERROR_SUCCESS) return rc;
    } else if (need == RegNeed::Change && !store.laidOut) {
        LONG rc = layOut(store.db);
        if (rc != ERROR_SUCCESS) return rc;
        store.laidOut = true;
    }
    if (need == RegNeed::Change && !store.journalChecked && sqlite3_get_autocommit(store.db)) {
        store.journalChecked = leaveWriteAheadLog(store.db);
    }
    ++store.shares;
    *db = store.db;
    return ERROR_SUCCESS;
}

}  // namespace

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
        dropCached();
        sqlite3_close_v2(store.db);  // a statement still in use closes it when finalized
        store.db = nullptr;
        store.laidOut = false;
        store.journalChecked = false;
    }
}

LONG regRead(RegBody body) {
    sqlite3* db = nullptr;
    LONG rc = regAcquire(RegNeed::Read, &db);
    if (rc != ERROR_SUCCESS) return rc;
    rc = body(db);
    regRelease();
    return rc;
}

LONG regChange(const char* function, const char* name, bool counts, RegNeed need, RegBody body) {
    if (faultHook != nullptr) {
        LONG injected = faultHook(function, name != nullptr ? name : "");
        if (injected != ERROR_SUCCESS) {
            noteFailure(counts, injected);
            return injected;
        }
    }
    if (scope.open && scope.broken) return scope.failure;  // nothing may land outside the scope
    sqlite3* db = nullptr;
    LONG rc = regAcquire(need, &db);
    if (rc != ERROR_SUCCESS) {
        noteFailure(counts, rc);
        return rc;
    }
    bool inScope = scope.open;
    rc = regExec(db, inScope ? "SAVEPOINT regchange" : "BEGIN IMMEDIATE");
    if (rc == ERROR_SUCCESS) {
        rc = body(db);
        if (rc == ERROR_SUCCESS) rc = regExec(db, inScope ? "RELEASE regchange" : "COMMIT");
        if (rc != ERROR_SUCCESS && !sqlite3_get_autocommit(db)) {
            (void)regExec(db, inScope ? "ROLLBACK TO regchange" : "ROLLBACK");
            if (inScope) (void)regExec(db, "RELEASE regchange");
        }
    }
    if (rc != ERROR_SUCCESS && inScope && sqlite3_get_autocommit(db)) {
        scope.broken = true;  // the database rolled the whole scope back on its own
        noteFailure(true, rc);
    }
    noteFailure(counts, rc);
    regRelease();
    return rc;
}

LONG regExec(sqlite3* db, const char* sql) {
    int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    return rc == SQLITE_OK ? ERROR_SUCCESS : regFail(db, rc);
}

RegStmt::RegStmt(sqlite3* db, const char* sql) {
    stmt_ = takeCached(db, sql);
    if (stmt_ != nullptr) {
        rc_ = SQLITE_OK;
        return;
    }
    rc_ = sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr);
    if (rc_ == SQLITE_OK) keepCached(db, stmt_);
}

RegStmt::~RegStmt() {
    if (!giveBackCached(stmt_)) sqlite3_finalize(stmt_);
}

void RegStmt::bind(int index, int64_t value) {
    sqlite3_bind_int64(stmt_, index, value);
}

void RegStmt::bind(int index, std::string_view text) {
    sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void RegStmt::bindBlob(int index, const void* data, DWORD size) {
    if (size == 0) {
        sqlite3_bind_zeroblob(stmt_, index, 0);  // an empty blob, not NULL
    } else {
        sqlite3_bind_blob(stmt_, index, data, static_cast<int>(size), SQLITE_TRANSIENT);
    }
}

int RegStmt::step() {
    return sqlite3_step(stmt_);
}

LONG regBeginTransaction(RegTxMode mode) {
    if (scope.depth > 0) {
        if (mode == RegTxMode::Write && scope.mode == RegTxMode::Read) return ERROR_ACCESS_DENIED;
        ++scope.depth;
        return ERROR_SUCCESS;
    }
    sqlite3* db = nullptr;
    LONG rc = regAcquire(mode == RegTxMode::Write ? RegNeed::Change : RegNeed::Read, &db);
    if (rc == ERROR_FILE_NOT_FOUND && mode == RegTxMode::Read) {
        scope = Scope{1, false, mode, ERROR_SUCCESS, false};  // nothing to read: each read finds 2
        return ERROR_SUCCESS;
    }
    if (rc != ERROR_SUCCESS) return rc;
    rc = regExec(db, mode == RegTxMode::Write ? "BEGIN IMMEDIATE" : "BEGIN DEFERRED");
    if (rc != ERROR_SUCCESS) {
        regRelease();
        return rc;
    }
    scope = Scope{1, true, mode, ERROR_SUCCESS, false};
    return ERROR_SUCCESS;
}

LONG regCommitTransaction() {
    if (scope.depth == 0) return ERROR_INVALID_PARAMETER;
    if (--scope.depth > 0) return scope.failure;
    LONG rc = scope.failure;
    if (scope.open) {
        if (rc == ERROR_SUCCESS) rc = regExec(store.db, "COMMIT");
        if (!sqlite3_get_autocommit(store.db)) (void)regExec(store.db, "ROLLBACK");
        regRelease();
    }
    scope = Scope{};
    return rc;
}

void regRollbackTransaction() {
    if (scope.depth == 0) return;
    if (--scope.depth > 0) {
        if (scope.failure == ERROR_SUCCESS) scope.failure = ERROR_CANCELLED;
        return;
    }
    if (scope.open) {
        if (!sqlite3_get_autocommit(store.db)) (void)regExec(store.db, "ROLLBACK");
        regRelease();
    }
    scope = Scope{};
}

void regSetFaultHook(RegFaultHook hook) {
    faultHook = hook;
}

bool regHoldStore() {
    sqlite3* db = nullptr;
    return regAcquire(RegNeed::Read, &db) == ERROR_SUCCESS;
}

void regReleaseStore() {
    regRelease();
}

std::string regStorePlace() {
    return storePath();
}

int regStoreShares() {
    return store.shares;
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

RegStoreStamp regStoreStamp() {
    if (store.db == nullptr) return {};
    RegStoreStamp stamp{store.openings, 0, sqlite3_total_changes64(store.db)};
    RegStmt version(store.db, "PRAGMA data_version");
    if (version.prepared() == SQLITE_OK && version.step() == SQLITE_ROW) {
        stamp.otherChanges = sqlite3_column_int64(version.get(), 0);
    }
    return stamp;
}
