// The registry access layer: opens or creates a key named by a backslash path one level at a
// time, reads and writes single values with the size worked out from the value type, and deletes
// keys, over the platform registry functions of regplatform.h.
//
// Every function returns 1 for success and 0 for failure and puts the platform's Win32 code into
// *rc (0 meaning success). Keeps no state and writes no trace lines (callers trace the code). The
// path functions never leave an intermediate key open; a key they hand out belongs to the caller,
// who releases it with RegCloseKey. Never closes a root key.
#pragma once

#include <cstddef>

#include "settings/regplatform.h"

// The access asked for at every level: read, set values, create sub-keys. A level that refuses it
// (HKEY_LOCAL_MACHINE\SOFTWARE to a web server's account, which may change only the program's own
// keys) is opened for reading instead: walking through a level needs no more, and a change to it
// still fails where it is refused.
inline constexpr REGSAM kRegLayerAccess = KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY;
static_assert(kRegLayerAccess == 0x2001f);
// A key path: 511 characters and a terminator.
inline constexpr size_t kRegPathSize = 512;
// The buffer getRegValue fills: values up to this many bytes are read.
inline constexpr DWORD kRegValueBufferSize = 255;
// The class text of the keys RegCreatePathEx creates.
inline constexpr const char kRegKeyClass[] = "REG_SZ";

// Opens every level of `path` below `root`. 1: *key is the last level, open. 0: failed, *rc set
// (87 for a path of 512 characters or more), no key left open.
[[nodiscard]] int RegOpenPathEx(HKEY root, const char* path, HKEY* key, LONG* rc);
// Opens every level of `path` below `root`, creating the missing ones. 1: *key is the last level,
// open. 0: failed, *rc set, no key left open.
[[nodiscard]] int RegCreatePathEx(HKEY root, const char* path, HKEY* key, LONG* rc);
// Reads value `name` into `buffer` (at least kRegValueBufferSize bytes). 1: read, *size = the
// bytes stored. 0: not read: an error in *rc (2 missing, 234 too long), or an empty REG_SZ with rc
// 0 and size 0. `type` may be null.
[[nodiscard]] int getRegValue(HKEY key, const char* name, unsigned char* buffer, DWORD* type,
                              DWORD* size, LONG* rc);
// Writes value `name`: REG_SZ and REG_EXPAND_SZ as the text and its terminator, REG_BINARY as
// `size` bytes, REG_DWORD as 4, REG_MULTI_SZ up to and including its closing pair of NULs. 1:
// written. 0: not written (any other type: rc 0).
[[nodiscard]] int setRegValue(HKEY key, const char* name, const void* data, DWORD type, DWORD size,
                              LONG* rc);
// Deletes `subKey` below `key`, or with none `key` itself. 1: deleted. 0: failed (5 while it has
// sub-keys).
[[nodiscard]] int deleteRegKey(HKEY key, const char* subKey, LONG* rc);
// Names the sub-key number `index` (from 0) of `key` in `name` (`size` bytes). 1: named. 0: not
// (rc 259 past the last one, 234 when the name does not fit).
[[nodiscard]] int enumRegSubKey(HKEY key, DWORD index, char* name, DWORD size, LONG* rc);
// Deletes one value. 1: deleted. 0: failed.
[[nodiscard]] int deleteRegValue(HKEY key, const char* name, LONG* rc);
// Writes an empty REG_SZ value (the single byte NUL). 1: written. 0: failed.
[[nodiscard]] int setRegEmptyValue(HKEY key, const char* name, LONG* rc);
// Opens `root` of `machine` (null: this one); only HKEY_LOCAL_MACHINE and HKEY_USERS are allowed
// (any other: 0 with rc 0). 1: *key open. 0: failed.
[[nodiscard]] int connectRegistry(const char* machine, HKEY root, HKEY* key, LONG* rc);
// Opens the single level `subKey` below `key`. 1: *out open. 0: failed.
[[nodiscard]] int openRegKey(HKEY key, const char* subKey, HKEY* out, LONG* rc);
