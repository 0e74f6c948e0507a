// Keys written and read whole: a write replaces the key by a new one holding exactly what the
// writer puts in it, a reader sees the key as it was before a replacement or after it, never a
// part of one, and a failed replacement leaves the key as it was.
//
// Owns how a replacement lands on each platform (regwhole_posix.cpp, regwhole_win32.cpp): in the
// store of regstore.h, one transaction deletes the key and writes the new one; in the system
// registry, whose transactions cannot be relied on, the new key is written beside the old one under
// a name of its own and renamed into place. Never writes trace lines (callers trace the code).
// Functions return 1 or 0 with the Win32 code in *rc, as registry.h does.
#pragma once

#include "settings/regplatform.h"

// The names beside the key `K` that a replacement in the system registry uses for a while:
// "K<new suffix>" while the new key is being written, "K<old suffix>" for the old key from the
// moment it is set aside until the new one is in place. A process that ends in between may leave
// either; a reader takes the set-aside key while `K` itself is missing, and the next write or
// delete clears both. Both names are longer than 64 characters, so no key named by a web user
// name of at most 64 characters is ever taken for one of them.
inline constexpr const char kRegWholeNewSuffix[] =
    " (new: being written, renamed to the name before the bracket once whole)";
inline constexpr const char kRegWholeOldSuffix[] =
    " (old: set aside, read only while the key named before the bracket is missing)";
static_assert(sizeof kRegWholeNewSuffix > 65 && sizeof kRegWholeOldSuffix > 65);
// A reader that finds neither the key nor a set-aside one, or whose key is deleted under it while
// it reads, looks again this many times in all: a replacement that overtakes one look has put its
// key in place by the next.
inline constexpr int kRegWholeReadRounds = 4;

// Whether the last component of a key name is one of the temporary names above (a listing of a
// key's sub-keys skips these).
[[nodiscard]] bool isRegWholeTemporaryName(const char* name);

// What a whole write puts into the new key, or a whole read takes from the key in hand. Returns 1
// when done, or 0 with *rc set.
using RegKeyVisit = int (*)(HKEY key, void* context, LONG* rc);

// Replaces the key `path` below `root`, creating its missing parents, by a key holding what
// `fill` writes. 1: replaced. 0: nothing changed, *rc the code of the step that failed (87 for a
// path too long for the temporary names).
[[nodiscard]] int writeWholeKey(HKEY root, const char* path, RegKeyVisit fill, void* context,
                                LONG* rc);
// Opens the key `path` below `root` as the last whole write left it and hands it to `read`.
// 1: `read` returned 1. 0: the key could not be opened (*opened false) or `read` returned 0
// (*opened true); *rc set. `read` may be called more than once when a replacement overtakes it, and
// the last call is the one that counts.
[[nodiscard]] int readWholeKey(HKEY root, const char* path, RegKeyVisit read, void* context,
                               bool* opened, LONG* rc);
// Deletes the key `path` below `root` and whatever a broken replacement left beside it, so that
// no reader finds an earlier state. 1: deleted. 0: failed, *rc set (2 when there was no key).
[[nodiscard]] int deleteWholeKey(HKEY root, const char* path, LONG* rc);

// Test seam: when set, a replacement asks the hook before each of its steps, named by a text
// (the system registry's: "fill", "set aside", "put in place", "drop old"; the store's: "fill",
// "commit"); a nonzero answer fails that step with that code, as a failure of the system would.
// Null removes the hook.
using RegWholeFaultHook = LONG (*)(const char* step);
void regSetWholeFaultHook(RegWholeFaultHook hook);
// For the platform sides: the hook's answer for `step`, 0 when there is no hook.
[[nodiscard]] LONG regWholeStepFault(const char* step);
