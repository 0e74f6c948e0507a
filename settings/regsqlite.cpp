// see regsqlite.h
#include "settings/regsqlite.h"

#include <cstring>

namespace {

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

}  // namespace

int regSqliteOpen(const char* path, sqlite3** db) {
    configureSqlite();
    // One thread uses the connection: SQLite need not lock it around every call.
    int rc = sqlite3_open_v2(path, db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc == SQLITE_OK) sqlite3_busy_timeout(*db, kRegBusyTimeoutMs);
    return rc;
}

LONG regCodeForSqlite(int sqliteCode) {
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

const char* regSqliteReason(sqlite3* db, int sqliteCode) {
    int err = db != nullptr ? sqlite3_system_errno(db) : 0;
    if (err != 0) return strerror(err);
    return db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(sqliteCode);
}
