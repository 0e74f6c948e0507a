// The database under the platform registry functions: the one connection of the process, the
// file's layout, the transaction scope, and the mapping of SQLite failures to Win32 codes.
//
// Owns the connection: it is opened by the first operation or key handle that needs it and closed
// when the last of them lets go, so nothing stays open between settings operations (and a forked
// child never inherits an open database). Used by regstore.cpp only; never seen by the layer.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string_view>
#include <type_traits>

#include "settings/regstore.h"

// Row ids of the root keys; every other key has a larger id, never reused after a deletion.
inline constexpr int64_t kRegRootIdMax = 4;

struct RegKey {
    int64_t id;       // row of the key in the store
    REGSAM access;    // rights granted when the handle was opened
    bool holdsStore;  // the handle keeps the connection open until it is closed
    bool isRoot;      // one of the predefined handles: never freed
};

// What an operation needs of the store: reading finds a missing store empty and creates nothing;
// changing creates the file and its layout first.
enum class RegNeed { Read, Change };

// Takes a share of the connection, opening the store when nobody holds it. Returns 0 with *db
// set, 2 (a read of a store that does not exist or is still empty), or a code, traced.
[[nodiscard]] LONG regAcquire(RegNeed need, sqlite3** db);
// Gives back a share taken by regAcquire; the last one closes the connection.
void regRelease();

// An operation's body, borrowed for the length of one call: unlike std::function it never
// allocates, so that a store operation fails with a code, never with an exception.
class RegBody {
  public:
    template <typename F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, RegBody>)
        RegBody(F&& body)  // NOLINT(google-explicit-constructor): lambdas are passed as they are
        : body_(const_cast<void*>(static_cast<const void*>(&body))),
          call_([](void* b, sqlite3* db) -> LONG {
              return (*static_cast<std::remove_reference_t<F>*>(b))(db);
          }) {}
    LONG operator()(sqlite3* db) const { return call_(body_, db); }

  private:
    void* body_;
    LONG (*call_)(void*, sqlite3*);
};

// Runs `body` as one atomic change: in a transaction of its own, or in a savepoint inside the open
// scope. `function` and `name` are for the fault hook; a failed change marked `counts` makes the
// open write scope fail at its commit. `need` is Read for changes that only remove things, so
// that they never create a store. Returns body's code, or the code that stopped it.
LONG regChange(const char* function, const char* name, bool counts, RegNeed need, RegBody body);
// Runs `body` against the store for reading. A store that does not exist gives 2 without calling
// it.
LONG regRead(RegBody body);

// Maps a SQLite result to a Win32 code, tracing failures with the database's message.
[[nodiscard]] LONG regFail(sqlite3* db, int sqliteCode);

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

// Runs one statement without results. Returns 0 or the mapped code.
[[nodiscard]] LONG regExec(sqlite3* db, const char* sql);

// Shares of the connection held right now (open key handles, operations, a scope); 0 means the
// store is closed. For tests that check that nothing is left open.
[[nodiscard]] int regStoreShares();
