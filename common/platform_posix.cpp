// see platform.h: the POSIX side
#include <fcntl.h>
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

void osPrepareProcess() {}  // the web server starts CGI programs in their folder

FILE* osOpenPrivateAppend(const char* path) {
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    FILE* file = fdopen(fd, "a");
    if (file == nullptr) close(fd);
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
        case OsLogLevel::Notice:
            return LOG_AUTHPRIV | LOG_NOTICE;
        case OsLogLevel::Warning:
            return LOG_AUTHPRIV | LOG_WARNING;
        case OsLogLevel::Info:
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
