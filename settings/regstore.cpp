// see regstore.h
#include "settings/regstore.h"

#include <cstring>
#include <new>
#include <string_view>

#include "settings/regfile.h"
#include "settings/regstmt.h"
#include "settings/regtx.h"

struct RegKey {
    int64_t id;       // row of the key in the store
    REGSAM access;    // rights granted when the handle was opened
    bool holdsStore;  // the handle keeps the connection open until it is closed
    bool isRoot;      // one of the predefined handles: never freed
};

namespace {

RegKey rootKeys[] = {
    {1, KEY_ALL_ACCESS, false, true},
    {2, KEY_ALL_ACCESS, false, true},
    {3, KEY_ALL_ACCESS, false, true},
    {4, KEY_ALL_ACCESS, false, true},
};
static_assert(sizeof rootKeys / sizeof rootKeys[0] == kRegRootIdMax);

std::string_view nameOf(const char* name) {
    return name != nullptr ? std::string_view(name) : std::string_view();
}

// Calls `each` with every non-empty component of a backslash path; an empty component names the
// key itself. Returns 87 for a component longer than a key name may be, else each's first failure.
template <typename Each>
LONG forEachComponent(std::string_view path, Each each) {
    while (!path.empty()) {
        size_t cut = path.find('\\');
        std::string_view part = path.substr(0, cut);
        path = (cut == std::string_view::npos) ? std::string_view() : path.substr(cut + 1);
        if (part.empty()) continue;
        if (part.size() > kRegKeyNameMax) return ERROR_INVALID_PARAMETER;
        LONG rc = each(part);
        if (rc != ERROR_SUCCESS) return rc;
    }
    return ERROR_SUCCESS;
}

LONG checkPath(std::string_view path) {
    return forEachComponent(path, [](std::string_view) { return ERROR_SUCCESS; });
}

// 0 when key `id` is in the store, ERROR_KEY_DELETED when it has gone.
LONG keyAlive(sqlite3* db, int64_t id) {
    RegStmt stmt(db, "SELECT 1 FROM regkey WHERE id = ?1");
    if (stmt.prepared() != SQLITE_OK) return regFail(db, stmt.prepared());
    stmt.bind(1, id);
    int rc = stmt.step();
    if (rc == SQLITE_ROW) return ERROR_SUCCESS;
    return rc == SQLITE_DONE ? ERROR_KEY_DELETED : regFail(db, rc);
}

// Finds the child `name` of `parent`. Returns 0 with *id set, or 2.
LONG findChild(sqlite3* db, int64_t parent, std::string_view name, int64_t* id) {
    RegStmt stmt(db, "SELECT id FROM regkey WHERE parent = ?1 AND name = ?2");
    if (stmt.prepared() != SQLITE_OK) return regFail(db, stmt.prepared());
    stmt.bind(1, parent);
    stmt.bind(2, name);
    int rc = stmt.step();
    if (rc == SQLITE_ROW) {
        *id = sqlite3_column_int64(stmt.get(), 0);
        return ERROR_SUCCESS;
    }
    return rc == SQLITE_DONE ? ERROR_FILE_NOT_FOUND : regFail(db, rc);
}

LONG addChild(sqlite3* db, int64_t parent, std::string_view name, const char* keyClass,
              int64_t* id) {
    RegStmt stmt(db, "INSERT INTO regkey(parent, name, class) VALUES (?1, ?2, ?3)");
    if (stmt.prepared() != SQLITE_OK) return regFail(db, stmt.prepared());
    stmt.bind(1, parent);
    stmt.bind(2, name);
    if (keyClass != nullptr) stmt.bind(3, std::string_view(keyClass));
    int rc = stmt.step();
    if (rc != SQLITE_DONE) return regFail(db, rc);
    *id = sqlite3_last_insert_rowid(db);
    return ERROR_SUCCESS;
}

// Walks `path` below key `from`. Returns 0 with *id the last level, or 2 at the first missing one.
LONG walk(sqlite3* db, int64_t from, std::string_view path, int64_t* id) {
    LONG rc = keyAlive(db, from);
    if (rc != ERROR_SUCCESS) return rc;
    *id = from;
    return forEachComponent(path,
                            [&](std::string_view part) { return findChild(db, *id, part, id); });
}

LONG newHandle(int64_t id, REGSAM access, bool holdsStore, HKEY* result) {
    RegKey* key = new (std::nothrow) RegKey{id, access, holdsStore, false};
    if (key == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    *result = key;
    return ERROR_SUCCESS;
}

}  // namespace

HKEY const HKEY_CLASSES_ROOT = &rootKeys[0];
HKEY const HKEY_CURRENT_USER = &rootKeys[1];
HKEY const HKEY_LOCAL_MACHINE = &rootKeys[2];
HKEY const HKEY_USERS = &rootKeys[3];

LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD, REGSAM access, HKEY* result) {
    if (key == nullptr) return ERROR_INVALID_HANDLE;
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    std::string_view path = nameOf(subKey);
    LONG rc = checkPath(path);
    if (rc != ERROR_SUCCESS) return rc;
    if (key->isRoot && path.find_first_not_of('\\') == std::string_view::npos) {
        return newHandle(key->id, access, false, result);  // a root exists with or without a store
    }
    sqlite3* db = nullptr;
    rc = regAcquire(RegNeed::kRead, &db);
    if (rc != ERROR_SUCCESS) return rc;
    int64_t id = 0;
    rc = walk(db, key->id, path, &id);
    if (rc == ERROR_SUCCESS) rc = newHandle(id, access, true, result);
    if (rc != ERROR_SUCCESS) regRelease();  // the new handle keeps the share it took
    return rc;
}

LONG RegCreateKeyExA(HKEY key, const char* subKey, DWORD, const char* keyClass, DWORD,
                     REGSAM access, const void*, HKEY* result, DWORD* disposition) {
    if (key == nullptr) return ERROR_INVALID_HANDLE;
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    std::string_view path = nameOf(subKey);
    LONG rc = checkPath(path);
    if (rc != ERROR_SUCCESS) return rc;
    sqlite3* db = nullptr;
    rc = regAcquire(RegNeed::kChange, &db);  // the share the new handle keeps
    if (rc != ERROR_SUCCESS) return rc;
    int64_t id = 0;
    bool created = false;
    rc = regChange("RegCreateKeyExA", subKey, true, RegNeed::kChange, [&](sqlite3* db) {
        LONG step = keyAlive(db, key->id);
        id = key->id;
        if (step != ERROR_SUCCESS) return step;
        return forEachComponent(path, [&](std::string_view part) {
            created = false;
            LONG found = findChild(db, id, part, &id);
            if (found != ERROR_FILE_NOT_FOUND) return found;
            if ((key->access & KEY_CREATE_SUB_KEY) == 0 && id == key->id) {
                return ERROR_ACCESS_DENIED;
            }
            created = true;
            return addChild(db, id, part, keyClass, &id);
        });
    });
    if (rc == ERROR_SUCCESS) rc = newHandle(id, access, true, result);
    if (rc != ERROR_SUCCESS) {
        regRelease();
        return rc;
    }
    if (disposition != nullptr)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, const char* name, DWORD*, DWORD* type, BYTE* data, DWORD* size) {
    if (key == nullptr) return ERROR_INVALID_HANDLE;
    if ((key->access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
    if (data != nullptr && size == nullptr) return ERROR_INVALID_PARAMETER;
    return regRead([&](sqlite3* db) {
        RegStmt stmt(db,
                     "SELECT v.type, v.data, k.id FROM regkey k LEFT JOIN regvalue v"
                     " ON v.key = k.id AND v.name = ?2 WHERE k.id = ?1");
        if (stmt.prepared() != SQLITE_OK) return regFail(db, stmt.prepared());
        stmt.bind(1, key->id);
        stmt.bind(2, nameOf(name));
        int rc = stmt.step();
        if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
        if (rc != SQLITE_ROW) return regFail(db, rc);
        if (sqlite3_column_type(stmt.get(), 0) == SQLITE_NULL) return ERROR_FILE_NOT_FOUND;
        const void* stored = sqlite3_column_blob(stmt.get(), 1);
        DWORD stored_size = static_cast<DWORD>(sqlite3_column_bytes(stmt.get(), 1));
        if (type != nullptr) *type = static_cast<DWORD>(sqlite3_column_int64(stmt.get(), 0));
        if (data == nullptr) {
            if (size != nullptr) *size = stored_size;
            return ERROR_SUCCESS;
        }
        if (stored_size > *size) {
            *size = stored_size;
            return ERROR_MORE_DATA;
        }
        if (stored_size > 0) memcpy(data, stored, stored_size);
        *size = stored_size;
        return ERROR_SUCCESS;
    });
}

LONG RegSetValueExA(HKEY key, const char* name, DWORD, DWORD type, const BYTE* data, DWORD size) {
    if (key == nullptr) return ERROR_INVALID_HANDLE;
    if ((key->access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
    if (size > kRegValueDataMax || (data == nullptr && size > 0)) return ERROR_INVALID_PARAMETER;
    if (nameOf(name).size() > kRegValueNameMax) return ERROR_INVALID_PARAMETER;
    return regChange("RegSetValueExA", name, true, RegNeed::kChange, [&](sqlite3* db) {
        LONG alive = keyAlive(db, key->id);
        if (alive != ERROR_SUCCESS) return alive;
        // The name keeps the spelling it was first written with, as the registry's does.
        RegStmt stmt(db,
                     "INSERT INTO regvalue(key, name, type, data) VALUES (?1, ?2, ?3, ?4)"
                     " ON CONFLICT(key, name) DO UPDATE SET type = excluded.type,"
                     " data = excluded.data");
        if (stmt.prepared() != SQLITE_OK) return regFail(db, stmt.prepared());
        stmt.bind(1, key->id);
        stmt.bind(2, nameOf(name));
        stmt.bind(3, static_cast<int64_t>(type));
        stmt.bindBlob(4, data, size);
        int rc = stmt.step();
        return rc == SQLITE_DONE ? ERROR_SUCCESS : regFail(db, rc);
    });
}

LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD*, char* keyClass,
                   DWORD* classSize, FILETIME* lastWrite) {
    if (key == nullptr) return ERROR_INVALID_HANDLE;
    if ((key->access & KEY_ENUMERATE_SUB_KEYS) == 0) return ERROR_ACCESS_DENIED;
    if (name == nullptr || nameSize == nullptr) return ERROR_INVALID_PARAMETER;
    if (keyClass != nullptr && classSize != nullptr && *classSize > 0) keyClass[0] = '\0';
    if (classSize != nullptr) *classSize = 0;
    if (lastWrite != nullptr) *lastWrite = FILETIME{};
    return regRead([&](sqlite3* db) {
        LONG alive = keyAlive(db, key->id);
        if (alive != ERROR_SUCCESS) return alive;
        RegStmt stmt(db,
                     "SELECT name FROM regkey WHERE parent = ?1 ORDER BY name LIMIT 1 OFFSET ?2");
        if (stmt.prepared() != SQLITE_OK) return regFail(db, stmt.prepared());
        stmt.bind(1, key->id);
        stmt.bind(2, static_cast<int64_t>(index));
        int rc = stmt.step();
        if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
        if (rc != SQLITE_ROW) return regFail(db, rc);
        const char* found = reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), 0));
        size_t length = static_cast<size_t>(sqlite3_column_bytes(stmt.get(), 0));
        if (found == nullptr || length >= *nameSize) return ERROR_MORE_DATA;
        memcpy(name, found, length);
        name[length] = '\0';
        *nameSize = static_cast<DWORD>(length);
        return ERROR_SUCCESS;
    });
}

LONG RegDeleteKeyA(HKEY key, const char* subKey) {
    if (key == nullptr) return ERROR_INVALID_HANDLE;
    std::string_view path = nameOf(subKey);
    LONG rc = checkPath(path);
    if (rc != ERROR_SUCCESS) return rc;
    return regChange("RegDeleteKeyA", subKey, false, RegNeed::kRead, [&](sqlite3* db) {
        int64_t id = 0;
        LONG found = walk(db, key->id, path, &id);
        if (found != ERROR_SUCCESS) return found;
        if (id <= kRegRootIdMax) return ERROR_ACCESS_DENIED;
        RegStmt children(db, "SELECT 1 FROM regkey WHERE parent = ?1 LIMIT 1");
        if (children.prepared() != SQLITE_OK) return regFail(db, children.prepared());
        children.bind(1, id);
        int step = children.step();
        if (step == SQLITE_ROW) return ERROR_ACCESS_DENIED;  // children go before their parent
        if (step != SQLITE_DONE) return regFail(db, step);
        for (const char* sql :
             {"DELETE FROM regvalue WHERE key = ?1", "DELETE FROM regkey WHERE id = ?1"}) {
            RegStmt stmt(db, sql);
            if (stmt.prepared() != SQLITE_OK) return regFail(db, stmt.prepared());
            stmt.bind(1, id);
            step = stmt.step();
            if (step != SQLITE_DONE) return regFail(db, step);
        }
        return ERROR_SUCCESS;
    });
}

LONG RegDeleteValueA(HKEY key, const char* name) {
    if (key == nullptr) return ERROR_INVALID_HANDLE;
    if ((key->access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
    return regChange("RegDeleteValueA", name, false, RegNeed::kRead, [&](sqlite3* db) {
        LONG alive = keyAlive(db, key->id);
        if (alive != ERROR_SUCCESS) return alive;
        RegStmt stmt(db, "DELETE FROM regvalue WHERE key = ?1 AND name = ?2");
        if (stmt.prepared() != SQLITE_OK) return regFail(db, stmt.prepared());
        stmt.bind(1, key->id);
        stmt.bind(2, nameOf(name));
        int rc = stmt.step();
        if (rc != SQLITE_DONE) return regFail(db, rc);
        return sqlite3_changes(db) > 0 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

LONG RegConnectRegistryA(const char* machine, HKEY key, HKEY* result) {
    if (key == nullptr || !key->isRoot) return ERROR_INVALID_HANDLE;
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    if (machine != nullptr && machine[0] != '\0') return ERROR_BAD_NETPATH;
    *result = key;
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
    if (key == nullptr) return ERROR_INVALID_HANDLE;
    if (key->isRoot) return ERROR_SUCCESS;
    if (key->holdsStore) regRelease();
    delete key;
    return ERROR_SUCCESS;
}
