// The store's prepared statements: RegStmt, and the cache that keeps the held connection's
// statements prepared from one operation to the next.
//
// Owns the cache. Statements of the connection named by regStmtCacheOpen are prepared once and
// reset for their next user; any other connection's are finalized after use. Never opens or closes
// a connection and never maps or traces a failure (callers do, with the code prepared() or step()
// gives).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string_view>

#include "settings/regstore.h"

// A prepared statement that finalizes itself, or, on the held connection, one prepared once and
// reset for the next user of the same text. Nothing of a step outlives the RegStmt either way.
class RegStmt {
  public:
    RegStmt(sqlite3* db, const char* sql);
    ~RegStmt();
    RegStmt(const RegStmt&) = delete;
    RegStmt& operator=(const RegStmt&) = delete;
    // The SQLite code of the preparation: SQLITE_OK when usable.
    [[nodiscard]] int prepared() const { return rc_; }
    void bind(int index, int64_t value);
    void bind(int index, std::string_view text);
    void bindBlob(int index, const void* data, DWORD size);
    // SQLITE_ROW, SQLITE_DONE or an error.
    [[nodiscard]] int step();
    sqlite3_stmt* get() const { return stmt_; }

  private:
    sqlite3_stmt* stmt_ = nullptr;
    int rc_;
};

// Keeps the statements of `db`, the connection just opened, from now on.
void regStmtCacheOpen(sqlite3* db);
// Finalizes the kept statements nobody uses, before their connection closes; one still in use is
// finalized by its RegStmt.
void regStmtCacheClose();
