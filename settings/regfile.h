// The settings store's file and the process's one connection to it: where the file is, creating it
// and its folders private to their owner, telling a settings store from an empty database and from
// anything else, laying out its tables, and opening and closing the connection as shares of it are
// taken and given back. SQLite failures are mapped to Win32 codes here, traced with the file's name
// and, when the administrator can act on them, noted (common/notice.h).
//
// Owns the connection: it is opened by the first operation or key handle that needs it and closed
// when the last of them lets go, so nothing stays open between settings operations (and a forked
// child never inherits an open database). Never reads or writes keys or values and runs no
// transaction but those that check and lay out the file. Used by the store's own files only.
#pragma once

#include <sqlite3.h>

#include <cstdint>

#include "settings/regstore.h"

// Row ids of the root keys; every other key has a larger id, never reused after a deletion.
inline constexpr int64_t kRegRootIdMax = 4;

// What an operation needs of the store: reading finds a missing store empty and creates nothing;
// changing creates the file and its layout first.
enum class RegNeed { kRead, kChange };

// Takes a share of the connection, opening the store when nobody holds it. Returns 0 with *db
// set, 2 (a read of a store that does not exist or is still empty), or a code, traced.
[[nodiscard]] LONG regAcquire(RegNeed need, sqlite3** db);
// Gives back a share taken by regAcquire; the last one closes the connection.
void regRelease();

// The open connection and which opening of the process it is; db is null when none is open.
struct RegOpenConnection {
    sqlite3* db;
    int64_t opening;
};
[[nodiscard]] RegOpenConnection regOpenConnection();

// Maps a SQLite result to a Win32 code, tracing failures with the database's message.
[[nodiscard]] LONG regFail(sqlite3* db, int sqliteCode);
// Runs one statement without results. Returns 0 or the mapped code.
[[nodiscard]] LONG regExec(sqlite3* db, const char* sql);

// Shares of the connection held right now (open key handles, operations, a scope); 0 means the
// store is closed. For tests that check that nothing is left open.
[[nodiscard]] int regStoreShares();
