// see platform.h: the POSIX side
#include <fcntl.h>
#include <grp.h>
#include <malloc.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "common/limits.h"
#include "common/platform.h"

int osRandomBytes(void* buf, size_t len) {
    auto* out = static_cast<unsigned char*>(buf);
    while (len > 0) {
        ssize_t n = getrandom(out, len, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        out += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

void osWipe(void* buf, size_t len) {
    explicit_bzero(buf, len);
}

bool osComputerName(char* name, size_t capacity) {
    if (capacity == 0) return false;
    if (gethostname(name, capacity) != 0) {
        name[0] = '\0';
        return false;
    }
    name[capacity - 1] = '\0';  // a cut name may come back without a terminator
    return true;
}

// The web server starts CGI programs in their folder. The C library raises its own thresholds to
// the largest block freed so far, so that a long-lived process would keep the memory of its
// biggest page for good; fixed thresholds give a big block back when it is freed.
void osPrepareProcess() {
#if defined(__GLIBC__)
    (void)mallopt(M_MMAP_THRESHOLD, static_cast<int>(kReturnedMemoryBytes));
    (void)mallopt(M_TRIM_THRESHOLD, static_cast<int>(kReturnedMemoryBytes));
#endif
}

namespace {

// Why an opened trace file must not be appended to, or null when it may be.
const char* refusalOf(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return strerror(errno);
    if (!S_ISREG(st.st_mode)) return "it is not a regular file";
    if (st.st_uid != geteuid()) return "it belongs to another user";
    return nullptr;
}

FILE* refuse(const char** refusal, const char* reason) {
    if (refusal != nullptr) *refusal = reason;
    return nullptr;
}

}  // namespace

FILE* osOpenPrivateAppend(const char* path, const char** refusal) {
    // Without O_NONBLOCK, a pipe put in the file's place would hold the open until a reader came.
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) {
        if (errno == ELOOP) return refuse(refusal, "it is a symbolic link");
        // A pipe that no one reads.
        if (errno == ENXIO) return refuse(refusal, "it is not a regular file");
        return refuse(refusal, strerror(errno));
    }
    if (const char* reason = refusalOf(fd)) {
        close(fd);
        return refuse(refusal, reason);
    }
    (void)fcntl(fd, F_SETFL, O_APPEND);
    FILE* file = fdopen(fd, "a");
    if (file == nullptr) {
        close(fd);
        return refuse(refusal, strerror(errno));
    }
    return file;
}

void osAppendWhole(FILE* file, const char* data, size_t size) {
    // The file is opened with O_APPEND: the system puts each write at the end as one piece.
    int fd = fileno(file);
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
}

namespace {

constexpr const char kSystemLogSocket[] = "/dev/log";

int syslogPriority(OsLogLevel level) {
    switch (level) {
        case OsLogLevel::kNotice:
            return LOG_AUTHPRIV | LOG_NOTICE;
        case OsLogLevel::kWarning:
            return LOG_AUTHPRIV | LOG_WARNING;
        case OsLogLevel::kInfo:
            break;
    }
    return LOG_AUTHPRIV | LOG_INFO;
}

}  // namespace

bool osSystemLog(OsLogLevel level, const char* line) {
    // The datagram the C library's syslog sends: "<priority>time ident[pid]: text". Written here
    // so that the socket can be named (a test listens on one of its own) and no connection is
    // kept open in a long-lived process.
    const char* path = getenv("KORPROXY_SYSLOG_SOCKET");
    if (path == nullptr || path[0] == '\0') path = kSystemLogSocket;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof address.sun_path) return false;
    memcpy(address.sun_path, path, strlen(path));
    time_t now = time(nullptr);
    tm local{};
    char stamp[32] = "";
    if (localtime_r(&now, &local) != nullptr) strftime(stamp, sizeof stamp, "%b %e %T", &local);
    char head[96];
    snprintf(head, sizeof head, "<%d>%s korproxy[%ld]: ", syslogPriority(level), stamp,
             static_cast<long>(getpid()));
    std::string message = std::string(head) + line;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ssize_t sent = sendto(fd, message.data(), message.size(), MSG_NOSIGNAL,
                          reinterpret_cast<const sockaddr*>(&address), sizeof address);
    close(fd);
    return sent == static_cast<ssize_t>(message.size());
}

bool osIsAbsolutePath(const char* path) {
    return path != nullptr && path[0] == '/';
}

OsFileStamp osFileStamp(const char* path) {
    struct stat st {};
    if (stat(path, &st) != 0) return {};
    return {true, static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), st.st_size,
            static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

namespace {

// The account files are read directly rather than through the system's name services: a program
// linked whole cannot safely load the service modules that /etc/nsswitch.conf may name, and the web
// server's user is always a local account.
constexpr const char* kPasswdFile = "/etc/passwd";
constexpr const char* kGroupFile = "/etc/group";

// The local account of `user`: its name and group, or false when the file has no entry for it.
bool localAccount(uid_t user, std::string* name, gid_t* group) {
    FILE* file = fopen(kPasswdFile, "re");
    if (file == nullptr) return false;
    bool found = false;
    while (struct passwd* entry = fgetpwent(file)) {
        if (entry->pw_uid != user) continue;
        *name = entry->pw_name;
        *group = entry->pw_gid;
        found = true;
        break;
    }
    fclose(file);
    return found;
}

// `group` and every local group that names `user` among its members.
std::vector<gid_t> localGroupsOf(const std::string& user, gid_t group) {
    std::vector<gid_t> groups{group};
    if (user.empty()) return groups;
    FILE* file = fopen(kGroupFile, "re");
    if (file == nullptr) return groups;
    while (struct group* entry = fgetgrent(file)) {
        for (char** member = entry->gr_mem; member != nullptr && *member != nullptr; ++member) {
            if (user == *member && entry->gr_gid != group) groups.push_back(entry->gr_gid);
        }
    }
    fclose(file);
    return groups;
}

bool runsAs(uid_t user, gid_t group) {
    uid_t ru, eu, su;
    gid_t rg, eg, sg;
    if (getresuid(&ru, &eu, &su) != 0 || getresgid(&rg, &eg, &sg) != 0) return false;
    return ru == user && eu == user && su == user && rg == group && eg == group && sg == group;
}

}  // namespace

OsIdentityChange osTakeFolderOwner(const char* folder) {
    OsIdentityChange change;
    struct stat st {};
    if (geteuid() != 0 || folder == nullptr || stat(folder, &st) != 0 || st.st_uid == 0) {
        return change;
    }
    uid_t user = st.st_uid;
    gid_t group = st.st_gid;  // a user the system has no entry for keeps the folder's group
    (void)localAccount(user, &change.userName, &group);
    change.user = user;
    change.group = group;
    const std::vector<gid_t> groups = localGroupsOf(change.userName, group);
    // Groups first and the user last: once the user is given up, nothing else may be changed.
    if (setgroups(groups.size(), groups.data()) != 0 || setresgid(group, group, group) != 0 ||
        setresuid(user, user, user) != 0 || !runsAs(user, group)) {
        change.failed = true;
        change.error = errno != 0 ? errno : EPERM;
        return change;
    }
    change.changed = true;
    return change;
}
