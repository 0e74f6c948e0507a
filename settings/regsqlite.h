// SQLite as the settings store uses it: the library's process-wide configuration, how a connection
// to the store's file is opened, and what a SQLite failure means as a Win32 code.
//
// Owns nothing but the library's configuration, made once before SQLite starts. Never names,
// creates or checks a file and never traces (regfile.h does both, knowing the file's name).
#pragma once

#include <sqlite3.h>

#include "settings/regstore.h"

// Opens a connection to the existing file at `path` for reading and writing, on SQLite configured
// for this program, waiting up to kRegBusyTimeoutMs for another process that holds the file.
// Returns the SQLite code; *db is set either way and closed by the caller.
[[nodiscard]] int regSqliteOpen(const char* path, sqlite3** db);

// The Win32 code for a SQLite result.
[[nodiscard]] LONG regCodeForSqlite(int sqliteCode);

// The system's reason for the connection's last failure, else SQLite's own message (`db` may be
// null).
[[nodiscard]] const char* regSqliteReason(sqlite3* db, int sqliteCode);
