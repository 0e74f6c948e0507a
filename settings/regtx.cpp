// see regtx.h
#include "settings/regtx.h"

#include "settings/regstmt.h"

namespace {

struct Scope {
    int depth = 0;
    RegTxMode mode = RegTxMode::kWrite;
    LONG failure = ERROR_SUCCESS;  // first failed change inside the scope
    bool broken = false;           // the database ended the transaction after an error
    sqlite3* db = nullptr;  // the connection the open transaction runs on; null: none runs (a
                            // read scope on no store has none)
};
Scope scope;

RegFaultHook faultHook = nullptr;

void noteFailure(bool counts, LONG code) {
    if (counts && scope.depth > 0 && scope.failure == ERROR_SUCCESS) scope.failure = code;
}

// Ends the outermost scope's transaction (rolled back unless committed) and its share.
void closeScope() {
    if (scope.db != nullptr) {
        if (!sqlite3_get_autocommit(scope.db)) (void)regExec(scope.db, "ROLLBACK");
        regRelease();
    }
    scope = Scope{};
}

}  // namespace

LONG regRead(RegBody body) {
    sqlite3* db = nullptr;
    LONG rc = regAcquire(RegNeed::kRead, &db);
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
    if (scope.broken) return scope.failure;  // nothing may land outside the scope
    sqlite3* db = nullptr;
    LONG rc = regAcquire(need, &db);
    if (rc != ERROR_SUCCESS) {
        noteFailure(counts, rc);
        return rc;
    }
    bool inScope = scope.db != nullptr;
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

LONG regBeginTransaction(RegTxMode mode) {
    if (scope.depth > 0) {
        if (mode == RegTxMode::kWrite && scope.mode == RegTxMode::kRead) return ERROR_ACCESS_DENIED;
        ++scope.depth;
        return ERROR_SUCCESS;
    }
    sqlite3* db = nullptr;
    LONG rc = regAcquire(mode == RegTxMode::kWrite ? RegNeed::kChange : RegNeed::kRead, &db);
    if (rc == ERROR_FILE_NOT_FOUND && mode == RegTxMode::kRead) {
        scope = Scope{1, mode, ERROR_SUCCESS, false, nullptr};  // each read finds 2
        return ERROR_SUCCESS;
    }
    if (rc != ERROR_SUCCESS) return rc;
    rc = regExec(db, mode == RegTxMode::kWrite ? "BEGIN IMMEDIATE" : "BEGIN DEFERRED");
    if (rc != ERROR_SUCCESS) {
        regRelease();
        return rc;
    }
    scope = Scope{1, mode, ERROR_SUCCESS, false, db};
    return ERROR_SUCCESS;
}

LONG regCommitTransaction() {
    if (scope.depth == 0) return ERROR_INVALID_PARAMETER;
    if (--scope.depth > 0) return scope.failure;
    LONG rc = scope.failure;
    if (scope.db != nullptr && rc == ERROR_SUCCESS) rc = regExec(scope.db, "COMMIT");
    closeScope();
    return rc;
}

void regRollbackTransaction() {
    if (scope.depth == 0) return;
    if (--scope.depth > 0) {
        if (scope.failure == ERROR_SUCCESS) scope.failure = ERROR_CANCELLED;
        return;
    }
    closeScope();
}

void regSetFaultHook(RegFaultHook hook) {
    faultHook = hook;
}

RegStoreStamp regStoreStamp() {
    RegOpenConnection held = regOpenConnection();
    if (held.db == nullptr) return {};
    RegStoreStamp stamp{held.opening, 0, sqlite3_total_changes64(held.db)};
    RegStmt version(held.db, "PRAGMA data_version");
    if (version.prepared() == SQLITE_OK && version.step() == SQLITE_ROW) {
        stamp.otherChanges = sqlite3_column_int64(version.get(), 0);
    }
    return stamp;
}
