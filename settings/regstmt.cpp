// see regstmt.h
#include "settings/regstmt.h"

#include <array>
#include <cstring>

namespace {

// A request reads a dozen values through the same few statements; preparing each anew was a
// good part of a small page's cost. The held connection keeps them prepared until it closes.
constexpr size_t kRegStmtCacheSize = 16;

struct CachedStmt {
    sqlite3_stmt* stmt = nullptr;
    bool inUse = false;  // a RegStmt has it now; a second user of the same text prepares its own
};

struct Cache {
    sqlite3* db = nullptr;  // the held connection
    std::array<CachedStmt, kRegStmtCacheSize> stmts{};
};
Cache cache;

// The held connection's prepared statement for `sql`, marked in use, or nullptr.
sqlite3_stmt* takeCached(sqlite3* db, const char* sql) {
    if (db != cache.db) return nullptr;
    for (CachedStmt& c : cache.stmts) {
        if (c.stmt != nullptr && !c.inUse && std::strcmp(sqlite3_sql(c.stmt), sql) == 0) {
            c.inUse = true;
            return c.stmt;
        }
    }
    return nullptr;
}

// Keeps a statement of the held connection, in use, when there is room.
void keepCached(sqlite3* db, sqlite3_stmt* stmt) {
    if (db != cache.db) return;
    for (CachedStmt& c : cache.stmts) {
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
    for (CachedStmt& c : cache.stmts) {
        if (c.stmt == stmt) {
            (void)sqlite3_reset(stmt);  // ends its read of the store; the step's code was seen
            (void)sqlite3_clear_bindings(stmt);
            c.inUse = false;
            return true;
        }
    }
    return false;
}

}  // namespace

void regStmtCacheOpen(sqlite3* db) {
    cache.db = db;
}

void regStmtCacheClose() {
    for (CachedStmt& c : cache.stmts) {
        if (c.stmt != nullptr && !c.inUse) sqlite3_finalize(c.stmt);
        c = CachedStmt{};
    }
    cache.db = nullptr;
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
