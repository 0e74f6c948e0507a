// The system registry (ADVAPI32) as the settings store of the Windows program, with the scopes
// that the settings code shares with the store of regstore.h.
//
// Owns nothing: the registry keeps every value by itself. It has no scope that lands several
// changes together, so RegTransaction here only marks where one is meant: each change lands by
// itself, a reader may see a change half made, and a commit reports success (a key that must land
// whole is replaced by regwhole.h instead). RegStoreHold has nothing to keep open.
#pragma once

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstddef>
#include <string>

// One key name component, and one value's data, at most.
inline constexpr size_t kRegKeyNameMax = 255;
inline constexpr DWORD kRegValueDataMax = 1024 * 1024;

// Where the settings are, for messages.
[[nodiscard]] inline std::string regStorePlace() {
    return "the registry (HKEY_LOCAL_MACHINE)";
}

enum class RegTxMode { kWrite, kRead };

class RegTransaction {
  public:
    explicit RegTransaction(RegTxMode = RegTxMode::kWrite) {}
    RegTransaction(const RegTransaction&) = delete;
    RegTransaction& operator=(const RegTransaction&) = delete;
    [[nodiscard]] LONG begun() const { return ERROR_SUCCESS; }
    [[nodiscard]] LONG commit() { return ERROR_SUCCESS; }
};

class RegStoreHold {
  public:
    RegStoreHold() {}
    RegStoreHold(const RegStoreHold&) = delete;
    RegStoreHold& operator=(const RegStoreHold&) = delete;
    [[nodiscard]] bool held() const { return false; }
};

// The registry belongs to the system: no folder's owner stands for it.
[[nodiscard]] inline std::string regStoreFolder() {
    return {};
}

// The registry tells no one what changed: nothing is held, and the all-zero stamp says so, so a
// long-lived process reads the settings afresh for every request.
[[nodiscard]] inline bool regHeldStoreMoved() {
    return false;
}
struct RegStoreStamp {
    bool operator==(const RegStoreStamp&) const = default;
};
[[nodiscard]] inline RegStoreStamp regStoreStamp() {
    return {};
}
