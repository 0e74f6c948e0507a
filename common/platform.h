// What the program needs of the operating system beyond the C and C++ libraries: secure random
// bytes, wiping secrets, the computer's name, the process's streams, folder and identity, the trace
// file's opening and appending, the system's log, a file's stamp. One implementation per platform:
// platform_posix.cpp and platform_win32.cpp.
//
// Owns no state. Never writes to standard output or to the trace.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// The format checking of printf-like functions: on Windows the runtime's formatting is the GNU one
// (%zu and the rest), which the compiler checks under its own name.
#ifdef __MINGW32__
#define KORPROXY_PRINTF gnu_printf
#else
#define KORPROXY_PRINTF printf
#endif

// Fills `buf` with `len` bytes from the system's secure generator. Returns 0, or -1 (then `buf`
// holds nothing usable).
[[nodiscard]] int osRandomBytes(void* buf, size_t len);
// Clears `len` bytes at `buf` in a way the compiler may not drop as a dead store. The one wiper of
// the program: every password, password key, session key and key schedule goes through it before
// its memory is given back.
void osWipe(void* buf, size_t len);
// Puts this computer's name into `name` (`capacity` bytes, terminated). Returns false, with
// `name` empty, when the system gives none.
[[nodiscard]] bool osComputerName(char* name, size_t capacity);
// Prepares the process before it reads anything: standard input and output carry bytes unchanged
// (no line-end translation either way), and where the web server may start the program in another
// folder (Windows), the working folder becomes the program's own, where its pages lie; a block of
// kReturnedMemoryBytes or more goes back to the system when it is freed.
void osPrepareProcess();
// Opens `path` for appending; a file that does not exist yet is created readable and writable by
// its owner alone, and bytes are written unchanged. A symbolic link at the end of the path is not
// followed, and the file must be a regular one that belongs to the user the process runs as (on
// Windows: not a link or another kind of object), so that whoever may write into the file's folder
// cannot turn the appends onto a file of the process's own user. Returns the stream, or null with
// `*refusal` (when given) set to the reason in words.
[[nodiscard]] FILE* osOpenPrivateAppend(const char* path, const char** refusal = nullptr);

// What osTakeFolderOwner did.
struct OsIdentityChange {
    bool changed = false;  // the process now runs as the folder's owner
    bool failed = false;   // it had to, and could not: the process must not go on
    int error = 0;         // the system's error number when it failed
    unsigned long user = 0;
    unsigned long group = 0;
    std::string userName;  // empty when the system has no name for the user
};
// When the process runs as root and `folder` belongs to another user, takes that user's identity
// for the rest of the process: the user's group list, then its group, then the user, each as real,
// effective and saved identity, so that no way back to root is left. A folder that root owns or
// that does not exist, and a process that does not run as root, change nothing; nor does Windows.
[[nodiscard]] OsIdentityChange osTakeFolderOwner(const char* folder);
// Writes `size` bytes at the end of `file` (one from osOpenPrivateAppend, or a standard stream) as
// one piece, even while other processes append to the same file: none of them writes over it or
// into it. Its stdio buffer must be empty. A write that fails is given up silently.
void osAppendWhole(FILE* file, const char* data, size_t size);

// Sends one line to the system's log as the program "korproxy": syslog's authpriv facility through
// its socket (/dev/log, or the one KORPROXY_SYSLOG_SOCKET names), or the Application event log
// with "korproxy" as the source. Returns false when the log cannot be reached; the line is lost.
enum class OsLogLevel { kInfo, kNotice, kWarning };
bool osSystemLog(OsLogLevel level, const char* line);
// Whether `path` names a file from the root of a file system ("/..." here, "C:\..." or "\\..."
// on Windows), not from the working folder.
[[nodiscard]] bool osIsAbsolutePath(const char* path);

// What a file is now, so that a long-lived process can tell whether it was written or replaced
// since it last read it: equal stamps mean the same file with the same content, as far as the
// system tells. A missing file gives the all-zero stamp.
struct OsFileStamp {
    bool present = false;
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t size = 0;
    int64_t modifiedNs = 0;
    bool operator==(const OsFileStamp&) const = default;
};
[[nodiscard]] OsFileStamp osFileStamp(const char* path);
