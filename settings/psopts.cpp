// see psopts.h
#include "settings/psopts.h"

#include <cstring>

#include "common/textcopy.h"
#include "common/trace.h"
#include "settings/registry.h"
#include "settings/regplatform.h"
#include "settings/settingskeys.h"

static constexpr const char kTraceSource[] = "psopts";

namespace {

// How much of a stored option is read: 64 bytes, so a text of 63 characters and its terminator.
constexpr DWORD kOptionReadCapacity = 64;
static_assert(kOptionReadCapacity < kOptionTextSize, "the field keeps a terminator after it");

constexpr const char kRequireLoginValue[] = "RequireLogin";

// `quietWhenAbsent`: a value that stores made before it existed lack, whose absence says "no".
void readOption(HKEY key, const char* name, char* field, bool quietWhenAbsent = false) {
    BYTE work[kOptionReadCapacity] = {};
    DWORD size = kOptionReadCapacity;
    LONG rc = RegQueryValueExA(key, name, nullptr, nullptr, work, &size);
    if (rc != ERROR_SUCCESS) {
        field[0] = '\0';
        if (quietWhenAbsent && rc == ERROR_FILE_NOT_FOUND) return;
        TRACE("(%s, %d) psReadDefaultFile(): getRegValue(%s): Win32 RC=%d .\n", TRACE_AT, name,
              static_cast<int>(rc));
        return;
    }
    // The cleared work buffer goes over whole, so a value stored without a terminator still
    // leaves a terminated field with nothing of the old text behind it.
    memcpy(field, work, kOptionReadCapacity);
    field[kOptionReadCapacity] = '\0';
}

bool writeOption(HKEY key, const char* name, const char* field, LONG* rc) {
    if (setRegValue(key, name, field, REG_SZ, 0, rc)) return true;
    TRACE("(%s, %i) psWriteDefaultFile(): setRegValue(%s): Win32 RC = %d.\n", TRACE_AT, name,
          static_cast<int>(*rc));
    return false;
}

// An access option is read silently: one that was never stored is the usual case. A list that is
// stored but cannot be read whole must not open every server, so it stands as a list of none.
void readAccessOption(HKEY key, const char* name, char* field, DWORD capacity,
                      const char* unreadable) {
    DWORD size = capacity;
    LONG rc = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(field), &size);
    // A text that fills the field without its terminator would be read cut, and a cut entry may
    // name another host.
    if (rc == ERROR_SUCCESS && size == capacity && field[capacity - 1] != '\0')
        rc = ERROR_MORE_DATA;
    if (rc == ERROR_SUCCESS) {
        field[size < capacity ? size : capacity - 1] = '\0';
        return;
    }
    field[0] = '\0';
    if (rc == ERROR_FILE_NOT_FOUND) return;
    TRACE("(%s, %d) psReadDefaultFile(): getRegValue(%s): Win32 RC=%d .\n", TRACE_AT, name,
          static_cast<int>(rc));
    (void)copyTextCut(field, capacity, unreadable);
}

// An access option that is set is written; one that is empty is removed, so that nothing is
// stored for it (a missing value is no failure).
void writeAccessOption(HKEY key, const char* name, const char* field, LONG* rc) {
    if (field[0] == '\0') {
        (void)deleteRegValue(key, name, rc);
        return;
    }
    (void)writeOption(key, name, field, rc);
}

void deleteKeyAt(const char* path) {
    HKEY key = nullptr;
    LONG rc = ERROR_SUCCESS;
    if (RegOpenPathEx(HKEY_LOCAL_MACHINE, path, &key, &rc)) {
        (void)deleteRegKey(key, nullptr, &rc);
        (void)RegCloseKey(key);
    } else {
        TRACE("(%s, %i) psDeleteDefaultFile(): RegOpenPathEx():  Win32 RC = %d.\n", TRACE_AT,
              static_cast<int>(rc));
    }
}

}  // namespace

bool psLoginRequired(const OptionsRecord& opts) {
    return strcmp(opts.requireLogin, "1") == 0;
}

int psReadDefaultFile(OptionsRecord* opts) {
    // The options come from one state of the store: never the server of one write with the
    // port of another.
    RegTransaction snapshot(RegTxMode::kRead);
    HKEY key = nullptr;
    LONG rc = ERROR_SUCCESS;
    if (!RegOpenPathEx(HKEY_LOCAL_MACHINE, kDefaultsKeyPath, &key, &rc)) {
        TRACE("(%s, %d) psReadDefaultFile(): RegOpenPathEx(): Win32 RC=%d .\n", TRACE_AT,
              static_cast<int>(rc));
        return 0;
    }
    readOption(key, "DefaultServerAddress", opts->server);
    readOption(key, "DefaultServerPort", opts->port);
    readOption(key, "CgiUrl", opts->cgiUrl);
    readOption(key, "TraceFile", opts->traceFile);
    readOption(key, kRequireLoginValue, opts->requireLogin, true);
    readOption(key, "AuditLog", opts->auditLog);
    readAccessOption(key, "AllowedServers", opts->allowedServers, sizeof opts->allowedServers,
                     kUnreadableServerList);
    readAccessOption(key, "SharedLogon", opts->sharedLogon, sizeof opts->sharedLogon, "0");
    (void)RegCloseKey(key);
    return 0;
}

long psDefaultsReadable() {
    HKEY key = nullptr;
    LONG rc = ERROR_SUCCESS;
    if (!RegOpenPathEx(HKEY_LOCAL_MACHINE, kDefaultsKeyPath, &key, &rc)) return rc;
    (void)RegCloseKey(key);
    return ERROR_SUCCESS;
}

int psWriteDefaultFile(const OptionsRecord* opts) {
    // The options land together or not at all, so a request reading meanwhile sees either
    // the old set or the new one.
    RegTransaction scope;
    if (scope.begun() != ERROR_SUCCESS) {
        TRACE("(%s, %i) psWriteDefaultFile(): the store cannot be opened: Win32 RC = %d.\n",
              TRACE_AT, static_cast<int>(scope.begun()));
        return -1;
    }
    HKEY key = nullptr;
    LONG rc = ERROR_SUCCESS;
    if (!RegCreatePathEx(HKEY_LOCAL_MACHINE, kDefaultsKeyPath, &key, &rc)) {
        TRACE("(%s, %i) psWriteDefaultFile():  RegCreatePathEx(): Win32 RC = %d.\n", TRACE_AT,
              static_cast<int>(rc));
        return -1;
    }
    (void)writeOption(key, "DefaultServerAddress", opts->server, &rc);
    (void)writeOption(key, "DefaultServerPort", opts->port, &rc);
    (void)writeOption(key, "TraceFile", opts->traceFile, &rc);
    if (opts->requireLogin[0] != '\0')
        (void)writeOption(key, kRequireLoginValue, opts->requireLogin, &rc);
    (void)writeOption(key, "AuditLog", opts->auditLog, &rc);
    writeAccessOption(key, "AllowedServers", opts->allowedServers, &rc);
    writeAccessOption(key, "SharedLogon", opts->sharedLogon, &rc);
    // Where changes cannot land together, the last one alone decides the result.
    bool cgiUrlWritten = writeOption(key, "CgiUrl", opts->cgiUrl, &rc);
    (void)RegCloseKey(key);
    // A failed write, or a failed commit, stores none of them.
    LONG committed = scope.commit();
    if (committed != ERROR_SUCCESS) {
        TRACE("(%s, %i) psWriteDefaultFile(): the options were not stored: Win32 RC = %d.\n",
              TRACE_AT, static_cast<int>(committed));
        return -1;
    }
    return cgiUrlWritten ? 0 : -1;
}

void psDeleteDefaultFile(int alsoParent) {
    deleteKeyAt(kDefaultsKeyPath);
    if (alsoParent) deleteKeyAt(kProxyKeyPath);
}
