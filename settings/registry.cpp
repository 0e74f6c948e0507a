// see registry.h
#include "settings/registry.h"

#include <cstring>

#include "common/textcopy.h"

namespace {

// The length of the text at `data`, or kRegValueDataMax when it has no terminator that close.
DWORD textBytes(const void* data) {
    return static_cast<DWORD>(strnlen(static_cast<const char*>(data), kRegValueDataMax));
}

// The bytes of a REG_MULTI_SZ up to and including its closing pair of NULs; 0 when it begins with
// a NUL, kRegValueDataMax + 1 when no pair comes within the largest value.
DWORD multiTextBytes(const void* data) {
    const char* text = static_cast<const char*>(data);
    if (text[0] == '\0') return 0;
    for (DWORD i = 1; i < kRegValueDataMax; ++i) {
        if (text[i] == '\0' && text[i - 1] == '\0') return i + 1;
    }
    return kRegValueDataMax + 1;
}

// The walk shared by the two path functions: `step` opens or creates one level below the key in
// hand with the access it is given; a level that refuses kRegLayerAccess is taken for reading.
// Intermediate keys are closed as soon as the next level is open or has failed.
template <typename Step>
int walkPath(HKEY root, const char* path, HKEY* key, LONG* rc, Step step) {
    char work[kRegPathSize];
    if (path == nullptr || !copyTextFits(work, path)) {
        *rc = ERROR_INVALID_PARAMETER;
        return 0;
    }
    HKEY current = root;
    char* component = work;
    for (;;) {
        char* slash = strchr(component, '\\');
        if (slash != nullptr) *slash = '\0';
        HKEY next = nullptr;
        *rc = step(current, component, kRegLayerAccess, &next);
        if (*rc == ERROR_ACCESS_DENIED) *rc = step(current, component, KEY_READ, &next);
        if (current != root) (void)RegCloseKey(current);
        if (*rc != ERROR_SUCCESS) return 0;
        current = next;
        if (slash == nullptr) {
            *key = current;
            return 1;
        }
        component = slash + 1;
    }
}

}  // namespace

int RegOpenPathEx(HKEY root, const char* path, HKEY* key, LONG* rc) {
    return walkPath(root, path, key, rc,
                    [](HKEY current, const char* name, REGSAM access, HKEY* next) {
                        return RegOpenKeyExA(current, name, 0, access, next);
                    });
}

int RegCreatePathEx(HKEY root, const char* path, HKEY* key, LONG* rc) {
    *rc = ERROR_SUCCESS;
    return walkPath(
        root, path, key, rc, [](HKEY current, const char* name, REGSAM access, HKEY* next) {
            DWORD disposition = 0;
            return RegCreateKeyExA(current, name, 0, const_cast<char*>(kRegKeyClass),
                                   REG_OPTION_NON_VOLATILE, access, nullptr, next, &disposition);
        });
}

int getRegValue(HKEY key, const char* name, unsigned char* buffer, DWORD* type, DWORD* size,
                LONG* rc) {
    *size = 0;
    DWORD stored = kRegValueBufferSize;
    DWORD storedType = REG_NONE;
    *rc = RegQueryValueExA(key, name, nullptr, &storedType, buffer, &stored);
    if (*rc != ERROR_SUCCESS) return 0;
    if (type != nullptr) *type = storedType;
    if (storedType == REG_SZ && (stored == 0 || buffer[0] == '\0')) return 0;  // an empty text
    *size = stored;
    return 1;
}

int setRegValue(HKEY key, const char* name, const void* data, DWORD type, DWORD size, LONG* rc) {
    *rc = ERROR_SUCCESS;
    DWORD bytes = 0;
    switch (type) {
        case REG_SZ:
        case REG_EXPAND_SZ:
            if (data == nullptr) return *rc = ERROR_INVALID_PARAMETER, 0;
            bytes = textBytes(data) + 1;
            break;
        case REG_BINARY:
            bytes = size;
            break;
        case REG_DWORD:
            bytes = 4;
            break;
        case REG_MULTI_SZ:
            if (data == nullptr) return *rc = ERROR_INVALID_PARAMETER, 0;
            bytes = multiTextBytes(data);
            break;
        default:
            return 0;
    }
    *rc = RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), bytes);
    return *rc == ERROR_SUCCESS ? 1 : 0;
}

int deleteRegKey(HKEY key, const char* subKey, LONG* rc) {
    // The system function wants an empty name, not none, for the key itself.
    *rc = RegDeleteKeyA(key, subKey != nullptr ? subKey : "");
    return *rc == ERROR_SUCCESS ? 1 : 0;
}

int enumRegSubKey(HKEY key, DWORD index, char* name, DWORD size, LONG* rc) {
    if (name == nullptr || size == 0) {
        *rc = ERROR_INVALID_PARAMETER;
        return 0;
    }
    DWORD length = size;  // in characters, the terminator included
    *rc = RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    return *rc == ERROR_SUCCESS ? 1 : 0;
}

int deleteRegValue(HKEY key, const char* name, LONG* rc) {
    *rc = RegDeleteValueA(key, name);
    return *rc == ERROR_SUCCESS ? 1 : 0;
}

int setRegEmptyValue(HKEY key, const char* name, LONG* rc) {
    static const BYTE kEmpty[1] = {0};
    *rc = RegSetValueExA(key, name, 0, REG_SZ, kEmpty, 1);
    return *rc == ERROR_SUCCESS ? 1 : 0;
}

int connectRegistry(const char* machine, HKEY root, HKEY* key, LONG* rc) {
    *rc = ERROR_SUCCESS;
    if (root != HKEY_LOCAL_MACHINE && root != HKEY_USERS) return 0;
    if (machine == nullptr) {
        *rc = RegOpenKeyExA(root, nullptr, 0, KEY_ALL_ACCESS, key);
    } else {
        *rc = RegConnectRegistryA(machine, root, key);
    }
    return *rc == ERROR_SUCCESS ? 1 : 0;
}

int openRegKey(HKEY key, const char* subKey, HKEY* out, LONG* rc) {
    *rc = RegOpenKeyExA(key, subKey, 0, kRegLayerAccess, out);
    return *rc == ERROR_SUCCESS ? 1 : 0;
}
