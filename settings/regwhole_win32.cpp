// see regwhole.h: the system registry's side. Nothing is ever written into the key in place: the
// new key is filled under its own name, the old one renamed aside, the new one renamed into place
// and the old one deleted. A key opened by a reader is never changed, only renamed or deleted, so
// what it reads through one handle is one whole key.
#include "settings/regwhole.h"

#include <cstring>

#include "common/textcopy.h"
#include "settings/registry.h"

namespace {

// The parent path of a whole key, its own name, and the temporary names beside it; the names
// also in the UTF-16 that RegRenameKey takes.
struct WholeNames {
    char parent[kRegPathSize] = "";
    char leaf[kRegKeyNameMax + 1] = "";
    char fresh[kRegKeyNameMax + 1] = "";
    char old[kRegKeyNameMax + 1] = "";
    char oldPath[kRegPathSize] = "";
    wchar_t leafWide[kRegKeyNameMax + 1] = L"";
    wchar_t oldWide[kRegKeyNameMax + 1] = L"";
};

bool toWide(const char* text, wchar_t* wide, int capacity) {
    return MultiByteToWideChar(CP_ACP, 0, text, -1, wide, capacity) > 0;
}

// Splits `path` (at least two levels) into the names. False when it has one level or a name does
// not fit.
bool splitPath(const char* path, WholeNames* names) {
    const char* slash = path != nullptr ? strrchr(path, '\\') : nullptr;
    if (slash == nullptr || slash == path) return false;
    std::string_view parent(path, static_cast<size_t>(slash - path));
    const char* leaf = slash + 1;
    return copyTextFits(names->parent, parent) && copyTextFits(names->leaf, leaf) &&
           copyTextFits(names->fresh, leaf) &&
           appendTextFits(names->fresh, sizeof names->fresh, kRegWholeNewSuffix) &&
           copyTextFits(names->old, leaf) &&
           appendTextFits(names->old, sizeof names->old, kRegWholeOldSuffix) &&
           copyTextFits(names->oldPath, path) &&
           appendTextFits(names->oldPath, sizeof names->oldPath, kRegWholeOldSuffix) &&
           toWide(names->leaf, names->leafWide, kRegKeyNameMax + 1) &&
           toWide(names->old, names->oldWide, kRegKeyNameMax + 1);
}

// A step of the replacement: the fault hook's answer, else the system's.
template <typename Call>
LONG step(const char* name, Call call) {
    LONG rc = regWholeStepFault(name);
    return rc != ERROR_SUCCESS ? rc : call();
}

// Deletes the key behind `key` and closes the handle.
void dropKey(HKEY key) {
    (void)RegDeleteKeyA(key, "");
    (void)RegCloseKey(key);
}

// Writes the new key under its own name below `parent`. 1: *fresh open and filled. 0: nothing
// left behind.
int writeFresh(HKEY parent, const WholeNames& names, RegKeyVisit fill, void* context, HKEY* fresh,
               LONG* rc) {
    (void)RegDeleteKeyA(parent, names.fresh);  // what a write that broke off left
    DWORD disposition = 0;
    *rc = step("fill", [&] {
        return RegCreateKeyExA(parent, names.fresh, 0, const_cast<char*>(kRegKeyClass),
                               REG_OPTION_NON_VOLATILE, kRegLayerAccess, nullptr, fresh,
                               &disposition);
    });
    if (*rc != ERROR_SUCCESS) return 0;
    if (fill(*fresh, context, rc)) return 1;
    dropKey(*fresh);
    return 0;
}

// Renames the key in place aside. 1: *current is the set-aside key, or null when no key was in
// place. 0: *rc set, nothing changed.
int setAside(HKEY parent, const WholeNames& names, HKEY* current, LONG* rc) {
    *current = nullptr;
    HKEY key = nullptr;
    *rc = RegOpenKeyExA(parent, names.leaf, 0, kRegLayerAccess, &key);
    if (*rc == ERROR_FILE_NOT_FOUND) {
        // The first write, or one after a write that broke off with the old key set aside.
        *rc = ERROR_SUCCESS;
        return 1;
    }
    if (*rc != ERROR_SUCCESS) return 0;
    // Beside a key in place, a set-aside key is what an earlier write left once it was done.
    (void)RegDeleteKeyA(parent, names.old);
    *rc = step("set aside", [&] { return RegRenameKey(key, nullptr, names.oldWide); });
    if (*rc != ERROR_SUCCESS) {
        (void)RegCloseKey(key);
        return 0;
    }
    *current = key;
    return 1;
}

// Deletes the set-aside key (`current`, or by name when none was set aside by this write) once the
// new key is in place; one that stays is never read again.
void dropOld(HKEY parent, const WholeNames& names, HKEY current) {
    bool allowed = regWholeStepFault("drop old") == ERROR_SUCCESS;
    if (current == nullptr) {
        if (allowed) (void)RegDeleteKeyA(parent, names.old);
    } else if (allowed) {
        dropKey(current);
    } else {
        (void)RegCloseKey(current);
    }
}

// Puts `fresh` in place of the key `names.leaf` below `parent`. 1: in place. 0: the old key is
// where it was and `fresh` is gone.
int putInPlace(HKEY parent, const WholeNames& names, HKEY fresh, LONG* rc) {
    HKEY current = nullptr;
    if (!setAside(parent, names, &current, rc)) {
        dropKey(fresh);
        return 0;
    }
    // The handles name the keys themselves: another writer's key of the same name is never moved.
    *rc = step("put in place", [&] { return RegRenameKey(fresh, nullptr, names.leafWide); });
    if (*rc != ERROR_SUCCESS) {
        if (current != nullptr) {
            (void)RegRenameKey(current, nullptr, names.leafWide);
            (void)RegCloseKey(current);
        }
        dropKey(fresh);
        return 0;
    }
    (void)RegCloseKey(fresh);
    dropOld(parent, names, current);
    return 1;
}

// Opens the key in place, or while none is, the set-aside one.
int openWhole(HKEY root, const char* path, const WholeNames& names, HKEY* key, LONG* rc) {
    if (RegOpenPathEx(root, path, key, rc)) return 1;
    if (*rc != ERROR_FILE_NOT_FOUND) return 0;
    if (RegOpenPathEx(root, names.oldPath, key, rc)) return 1;
    *rc = ERROR_FILE_NOT_FOUND;
    return 0;
}

}  // namespace

int writeWholeKey(HKEY root, const char* path, RegKeyVisit fill, void* context, LONG* rc) {
    WholeNames names;
    if (!splitPath(path, &names)) {
        *rc = ERROR_INVALID_PARAMETER;
        return 0;
    }
    HKEY parent = nullptr;
    if (!RegCreatePathEx(root, names.parent, &parent, rc)) return 0;
    HKEY fresh = nullptr;
    int done = writeFresh(parent, names, fill, context, &fresh, rc) &&
               putInPlace(parent, names, fresh, rc);
    (void)RegCloseKey(parent);
    return done;
}

int readWholeKey(HKEY root, const char* path, RegKeyVisit read, void* context, bool* opened,
                 LONG* rc) {
    WholeNames names;
    *opened = false;
    if (!splitPath(path, &names)) {
        *rc = ERROR_INVALID_PARAMETER;
        return 0;
    }
    int done = 0;
    for (int round = 0; round < kRegWholeReadRounds; ++round) {
        HKEY key = nullptr;
        *opened = openWhole(root, path, names, &key, rc) != 0;
        if (!*opened && *rc != ERROR_FILE_NOT_FOUND) return 0;
        if (!*opened) continue;
        done = read(key, context, rc);
        (void)RegCloseKey(key);
        if (done || *rc != ERROR_KEY_DELETED) return done;
    }
    return done;
}

int deleteWholeKey(HKEY root, const char* path, LONG* rc) {
    WholeNames names;
    if (!splitPath(path, &names)) {
        *rc = ERROR_INVALID_PARAMETER;
        return 0;
    }
    HKEY parent = nullptr;
    if (!RegOpenPathEx(root, names.parent, &parent, rc)) return 0;
    // The set-aside key first: left alone after the key in place went, it would be read instead.
    LONG oldRc = RegDeleteKeyA(parent, names.old);
    (void)RegDeleteKeyA(parent, names.fresh);
    *rc = RegDeleteKeyA(parent, names.leaf);
    (void)RegCloseKey(parent);
    if (*rc == ERROR_FILE_NOT_FOUND && oldRc == ERROR_SUCCESS) *rc = ERROR_SUCCESS;
    return *rc == ERROR_SUCCESS ? 1 : 0;
}
