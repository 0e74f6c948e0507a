// The registry functions of the platform, kept in one SQLite database file: a tree of keys named
// by backslash paths under a few root keys, each key holding typed, named values.
//
// Owns the database file (named by KORPROXY_REGISTRY, default /var/lib/korproxy/registry.db), its
// layout, and the transaction scope that lets several changes land as one. Key and value names
// compare without regard to letter case and keep the spelling they were first written with. Every
// function returns a Win32 code (0 success) and never throws. A read never creates the file; the
// first write creates it (mode 0600, owned by its folder's owner when root creates it) and its
// folder (0700). A file that is not a settings store, or is damaged, gives ERROR_BADDB and is never
// replaced. Nothing here writes to stdout; SQLite failures are traced with the database's own
// message, and a store that cannot be opened, created or written is noted for the administrator
// (common/notice.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

using LONG = int32_t;
using DWORD = uint32_t;
using REGSAM = uint32_t;
using BYTE = unsigned char;

// A key handle: opaque, owned by whoever opened it, released once with RegCloseKey. The root keys
// are predefined handles that are never closed.
struct RegKey;
using HKEY = RegKey*;
extern HKEY const HKEY_CLASSES_ROOT;
extern HKEY const HKEY_CURRENT_USER;
extern HKEY const HKEY_LOCAL_MACHINE;
extern HKEY const HKEY_USERS;

// Win32 result codes the store gives.
inline constexpr LONG ERROR_SUCCESS = 0;
inline constexpr LONG ERROR_FILE_NOT_FOUND = 2;  // key, value or the whole store missing
inline constexpr LONG ERROR_ACCESS_DENIED = 5;   // handle lacks the right, file read-only, sub-keys
inline constexpr LONG ERROR_INVALID_HANDLE = 6;
inline constexpr LONG ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr LONG ERROR_BAD_NETPATH = 53;  // another machine's registry: there is none here
inline constexpr LONG ERROR_INVALID_PARAMETER = 87;
inline constexpr LONG ERROR_DISK_FULL = 112;
inline constexpr LONG ERROR_BUSY = 170;       // another process held the store past the timeout
inline constexpr LONG ERROR_MORE_DATA = 234;  // value larger than the caller's buffer
inline constexpr LONG ERROR_BADDB = 1009;     // the file is damaged or not a settings store
inline constexpr LONG ERROR_CANTOPEN = 1011;
inline constexpr LONG ERROR_REGISTRY_IO_FAILED = 1016;
inline constexpr LONG ERROR_KEY_DELETED = 1018;  // the handle's key was deleted meanwhile
inline constexpr LONG ERROR_CANCELLED = 1223;    // an inner transaction scope was rolled back
// An enumeration of sub-keys is past the last one.
inline constexpr LONG ERROR_NO_MORE_ITEMS = 259;

// Value types.
inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_DWORD_BIG_ENDIAN = 5;
inline constexpr DWORD REG_LINK = 6;
inline constexpr DWORD REG_MULTI_SZ = 7;

// Access rights. Query, set and create-sub-key are checked against the handle; the rest are kept.
inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_NOTIFY = 0x0010;
inline constexpr REGSAM KEY_CREATE_LINK = 0x0020;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// One key name component, and one value's data, at most.
inline constexpr size_t kRegKeyNameMax = 255;
inline constexpr size_t kRegValueNameMax = 16383;
inline constexpr DWORD kRegValueDataMax = 1024 * 1024;
// How long an operation waits for another process that holds the store.
inline constexpr int kRegBusyTimeoutMs = 5000;
// The store used when KORPROXY_REGISTRY is unset or empty.
inline constexpr const char kRegDefaultStore[] = "/var/lib/korproxy/registry.db";

// Where the store is, for messages: the file KORPROXY_REGISTRY names, or the default one.
[[nodiscard]] std::string regStorePlace();

// Opens `subKey` (a backslash path; null or empty opens `key` itself) below `key`. Returns 0 with
// *result set, or a code with *result untouched.
[[nodiscard]] LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, REGSAM access,
                                 HKEY* result);
// Opens `subKey` below `key`, creating every missing level. Returns 0 with *result set and
// *disposition (when not null) telling whether the last level was created, or a code.
[[nodiscard]] LONG RegCreateKeyExA(HKEY key, const char* subKey, DWORD reserved,
                                   const char* keyClass, DWORD options, REGSAM access,
                                   const void* security, HKEY* result, DWORD* disposition);
// Reads value `name` of `key`. With `data` null only *type and *size are filled. Returns 0 with
// the bytes copied, 2 when the value is missing, 234 with *size = the stored size when it does not
// fit the *size capacity.
[[nodiscard]] LONG RegQueryValueExA(HKEY key, const char* name, DWORD* reserved, DWORD* type,
                                    BYTE* data, DWORD* size);
// Creates or replaces value `name` of `key` with `size` bytes of `data` of the given type, in one
// atomic write. Returns 0 or a code.
[[nodiscard]] LONG RegSetValueExA(HKEY key, const char* name, DWORD reserved, DWORD type,
                                  const BYTE* data, DWORD size);
// When a key was last written; the store keeps no such time and reports zero.
struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
// Gives the name of the sub-key number `index` (from 0, in the order of their names without
// regard to case) of `key` into `name`, *nameSize characters of capacity with the terminator;
// *nameSize becomes the name's length without it. Class and time are not kept: given, they come
// back empty. Returns 0, 259 past the last sub-key, 234 when the name does not fit.
[[nodiscard]] LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameSize,
                                 DWORD* reserved, char* keyClass, DWORD* classSize,
                                 FILETIME* lastWrite);
// Deletes `subKey` below `key` (null or empty: `key` itself) with its values. Returns 0, 2 when it
// is missing, 5 when it still has sub-keys or is a root.
[[nodiscard]] LONG RegDeleteKeyA(HKEY key, const char* subKey);
// Deletes value `name` of `key`. Returns 0 or 2 when it is missing.
[[nodiscard]] LONG RegDeleteValueA(HKEY key, const char* name);
// Gives the root `key` of `machine` (null or empty: this machine). Only this machine's store
// exists; another machine gives ERROR_BAD_NETPATH.
[[nodiscard]] LONG RegConnectRegistryA(const char* machine, HKEY key, HKEY* result);
// Releases a handle; a root key is left alone. Returns 0, or 6 for a null handle.
LONG RegCloseKey(HKEY key);

// A transaction scope: every change made between regBeginTransaction and regCommitTransaction is
// stored together or not at all, and readers in other processes see either none or all of it.
// RegTxMode::kRead instead reads one consistent state of the store and changes nothing.
//
// Scopes nest: an inner scope joins the outer one, and rolling an inner one back makes the outer
// commit fail. A failed key creation or value write inside a write scope is remembered, and the
// commit then rolls everything back and returns that failure's code, so "delete the old, write the
// new" either replaces the old entirely or leaves it as it was.
enum class RegTxMode { kWrite, kRead };
// Returns 0 when the scope is open (the store is created for a write scope), or a code with no
// scope open.
[[nodiscard]] LONG regBeginTransaction(RegTxMode mode = RegTxMode::kWrite);
// Ends the innermost scope. Returns 0 when the changes are stored (an inner scope: when nothing has
// failed so far), or the code of the failure, the changes rolled back.
[[nodiscard]] LONG regCommitTransaction();
// Ends the innermost scope dropping its changes (an inner scope: the outer one will fail).
void regRollbackTransaction();

// The scope as an object: begins on construction, rolls back on destruction unless committed.
class RegTransaction {
  public:
    explicit RegTransaction(RegTxMode mode = RegTxMode::kWrite) : rc_(regBeginTransaction(mode)) {}
    ~RegTransaction() {
        if (rc_ == ERROR_SUCCESS && !ended_) regRollbackTransaction();
    }
    RegTransaction(const RegTransaction&) = delete;
    RegTransaction& operator=(const RegTransaction&) = delete;
    // The code of regBeginTransaction: 0 when the scope is open.
    [[nodiscard]] LONG begun() const { return rc_; }
    // Commits (see regCommitTransaction); a scope that did not begin returns its begin code.
    [[nodiscard]] LONG commit() {
        if (rc_ != ERROR_SUCCESS || ended_) return rc_ != ERROR_SUCCESS ? rc_ : ERROR_CANCELLED;
        ended_ = true;
        return regCommitTransaction();
    }

  private:
    LONG rc_;
    bool ended_ = false;
};

// Keeps the store open from here until the matching regReleaseStore, so that the separate reads of
// one run open it and read its layout once instead of once each. Returns true when a share is
// held; a store that cannot be opened for reading holds nothing, and every operation then opens
// it as it would without the hold. Holds no lock between operations. A process must not fork
// while it holds the store.
[[nodiscard]] bool regHoldStore();
// Gives back the share of a regHoldStore that returned true; the last share closes the store.
void regReleaseStore();

// The hold as an object: held on construction (when the store can be opened), given back on
// destruction.
class RegStoreHold {
  public:
    RegStoreHold() : held_(regHoldStore()) {}
    ~RegStoreHold() {
        if (held_) regReleaseStore();
    }
    RegStoreHold(const RegStoreHold&) = delete;
    RegStoreHold& operator=(const RegStoreHold&) = delete;
    [[nodiscard]] bool held() const { return held_; }

  private:
    bool held_;
};

// The folder of the store the environment names now; its owner is the user the store belongs to.
[[nodiscard]] std::string regStoreFolder();

// Whether the held store is no longer the one a new opening would reach: KORPROXY_REGISTRY now
// names another file, or another file has replaced (or nothing is left of) the one held. False
// when nothing is held. A long-lived process asks before each request and holds the store afresh.
[[nodiscard]] bool regHeldStoreMoved();

// What has been committed to the held store: two stamps of the same holding differ when any
// process, this one included, changed the store in between. An all-zero stamp means nothing is
// held. Lets a long-lived process keep what it read until the store changes.
struct RegStoreStamp {
    int64_t opening = 0;       // which holding of the process
    int64_t otherChanges = 0;  // commits of other connections, as the database counts them
    int64_t ownChanges = 0;    // rows this connection has changed
    bool operator==(const RegStoreStamp&) const = default;
};
[[nodiscard]] RegStoreStamp regStoreStamp();

// Test seam: when set, every change (key creation or deletion, value write or deletion) first asks
// the hook, naming the platform function and the key or value name; a nonzero answer fails that
// change with that code before anything is written. Null removes the hook.
using RegFaultHook = LONG (*)(const char* function, const char* name);
void regSetFaultHook(RegFaultHook hook);
