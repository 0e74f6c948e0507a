// see regwhole.h: the store's side, where one transaction lands the whole replacement
#include "settings/regwhole.h"

#include "settings/registry.h"

int writeWholeKey(HKEY root, const char* path, RegKeyVisit fill, void* context, LONG* rc) {
    RegTransaction scope;
    *rc = scope.begun();
    if (*rc != ERROR_SUCCESS) return 0;
    // Values of the old key that the new one does not write go with it.
    if (!deleteWholeKey(root, path, rc) && *rc != ERROR_FILE_NOT_FOUND) return 0;
    HKEY key = nullptr;
    if (!RegCreatePathEx(root, path, &key, rc)) return 0;
    *rc = regWholeStepFault("fill");
    int filled = *rc == ERROR_SUCCESS && fill(key, context, rc);
    (void)RegCloseKey(key);
    if (!filled) return 0;  // the scope rolls back: the old key stays
    *rc = regWholeStepFault("commit");
    if (*rc == ERROR_SUCCESS) *rc = scope.commit();
    return *rc == ERROR_SUCCESS ? 1 : 0;
}

int readWholeKey(HKEY root, const char* path, RegKeyVisit read, void* context, bool* opened,
                 LONG* rc) {
    // One state of the store, never either side of another process's replacement.
    RegTransaction snapshot(RegTxMode::kRead);
    HKEY key = nullptr;
    *opened = RegOpenPathEx(root, path, &key, rc) != 0;
    if (!*opened) return 0;
    int done = read(key, context, rc);
    (void)RegCloseKey(key);
    return done;
}

int deleteWholeKey(HKEY root, const char* path, LONG* rc) {
    HKEY key = nullptr;
    if (!RegOpenPathEx(root, path, &key, rc)) return 0;
    int deleted = deleteRegKey(key, nullptr, rc);
    (void)RegCloseKey(key);
    return deleted;
}
