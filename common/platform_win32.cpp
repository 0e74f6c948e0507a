// see platform.h: the Windows side
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// after windows.h, which they build on
#include <bcrypt.h>
#include <fcntl.h>
#include <io.h>
#include <sddl.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "common/platform.h"

int osRandomBytes(void* buf, size_t len) {
    auto* out = static_cast<unsigned char*>(buf);
    while (len > 0) {
        ULONG piece = len > ULONG_MAX ? ULONG_MAX : static_cast<ULONG>(len);
        if (!BCRYPT_SUCCESS(
                BCryptGenRandom(nullptr, out, piece, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
            return -1;
        }
        out += piece;
        len -= piece;
    }
    return 0;
}

void osWipe(void* buf, size_t len) {
    SecureZeroMemory(buf, len);
}

bool osComputerName(char* name, size_t capacity) {
    if (capacity == 0) return false;
    DWORD size = static_cast<DWORD>(capacity > MAXDWORD ? MAXDWORD : capacity);
    if (!GetComputerNameA(name, &size)) {
        name[0] = '\0';
        return false;
    }
    return true;
}

void osPrepareProcess() {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    // IIS chooses a CGI program's working folder from the address asked for, not from the program.
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path) return;
    char* slash = strrchr(path, '\\');
    if (slash == nullptr) return;
    *slash = '\0';
    SetCurrentDirectoryA(path);
}

namespace {

FILE* refuse(const char** refusal, const char* reason) {
    if (refusal != nullptr) *refusal = reason;
    return nullptr;
}

// Why an opened trace file must not be appended to, or null when it may be.
const char* refusalOf(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info)) {
        return "it is not a regular file";
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return "it is a symbolic link";
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return "it is not a regular file";
    return nullptr;
}

}  // namespace

FILE* osOpenPrivateAppend(const char* path, const char** refusal) {
    // Full access for the file's owner alone (and for the system and administrators, who can
    // take any file anyway); a file that exists keeps its own access list.
    PSECURITY_DESCRIPTOR owner = nullptr;
    SECURITY_ATTRIBUTES security{sizeof security, nullptr, FALSE};
    if (ConvertStringSecurityDescriptorToSecurityDescriptorA(
            "D:P(A;;FA;;;OW)(A;;FA;;;SY)(A;;FA;;;BA)", SDDL_REVISION_1, &owner, nullptr)) {
        security.lpSecurityDescriptor = owner;
    }
    // Append access without write access, so that no write lands anywhere but at the end; read
    // access because locking a range needs it (see osAppendWhole). A link is opened as itself, and
    // then refused.
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA | FILE_READ_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, &security, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (owner != nullptr) LocalFree(owner);
    if (file == INVALID_HANDLE_VALUE) return refuse(refusal, "it cannot be opened");
    if (const char* reason = refusalOf(file)) {
        CloseHandle(file);
        return refuse(refusal, reason);
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_APPEND | _O_BINARY);
    if (fd < 0) {
        CloseHandle(file);
        return refuse(refusal, "it cannot be opened");
    }
    FILE* stream = _fdopen(fd, "ab");
    if (stream == nullptr) {
        _close(fd);
        return refuse(refusal, "it cannot be opened");
    }
    return stream;
}

namespace {

// Far beyond any trace file's end, so that holding it never stands in the way of reading or
// appending; within a signed 64-bit offset, which is where locks are kept on every system.
constexpr DWORD kAppendLockHigh = 0x40000000;

// The event id of an audit line; the line itself is the event's one text.
constexpr DWORD kAuditEventId = 1;

}  // namespace

void osAppendWhole(FILE* file, const char* data, size_t size) {
    // An append-only handle should put each write at the end as one piece, but not every
    // implementation of the system does (the runtime seeks to the end and then writes, and a
    // process between the two writes over it), so writers to one file take turns on a lock.
    int fd = _fileno(file);
    auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    OVERLAPPED at{};
    at.OffsetHigh = kAppendLockHigh;
    // Standard output and the console cannot be locked; nothing else appends to them.
    bool locked = handle != INVALID_HANDLE_VALUE &&
                  LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at) != 0;
    while (size > 0) {
        unsigned piece = size > INT_MAX ? INT_MAX : static_cast<unsigned>(size);
        int n = _write(fd, data, piece);
        if (n < 0) break;
        data += n;
        size -= static_cast<size_t>(n);
    }
    if (locked) UnlockFileEx(handle, 0, 1, 0, &at);
}

bool osSystemLog(OsLogLevel level, const char* line) {
    // The event log has no notice level: a refusal is information, as a success is.
    HANDLE source = RegisterEventSourceA(nullptr, "korproxy");
    if (source == nullptr) return false;
    WORD type = level == OsLogLevel::kWarning ? EVENTLOG_WARNING_TYPE : EVENTLOG_INFORMATION_TYPE;
    const char* strings[] = {line};
    BOOL reported = ReportEventA(source, type, 0, kAuditEventId, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(source);
    return reported != FALSE;
}

bool osIsAbsolutePath(const char* path) {
    if (path == nullptr) return false;
    bool slash0 = path[0] == '\\' || path[0] == '/';
    if (slash0 && (path[1] == '\\' || path[1] == '/')) return true;  // \\server\share\...
    return isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
           (path[2] == '\\' || path[2] == '/');
}

OsFileStamp osFileStamp(const char* path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return {};
    auto wide = [](DWORD high, DWORD low) {
        return static_cast<int64_t>((static_cast<uint64_t>(high) << 32) | low);
    };
    // The last write time counts in 100-nanosecond steps.
    return {true, 0, 0, wide(data.nFileSizeHigh, data.nFileSizeLow),
            wide(data.ftLastWriteTime.dwHighDateTime, data.ftLastWriteTime.dwLowDateTime) * 100};
}

OsIdentityChange osTakeFolderOwner(const char*) {
    return {};  // the service or the administrator chooses the account
}
