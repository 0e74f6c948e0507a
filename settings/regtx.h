// The store's operations as units: a change in a transaction of its own or in a savepoint of the
// open scope, a read, the transaction scope of regstore.h (regBeginTransaction), the fault hook
// that fails changes for tests, and the stamp that tells a long-lived process whether the held
// store changed.
//
// Owns the scope and the fault hook. Takes a share of the connection (regfile.h) for each
// operation and for the scope; never opens a file itself and never reads or writes a key or value
// (the bodies it runs do).
#pragma once

#include <sqlite3.h>

#include <type_traits>

#include "settings/regfile.h"

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
