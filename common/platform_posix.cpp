// see platform.h: the POSIX side
#include <fcntl.h>
#include <malloc.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

OsFileStamp osFileStamp(const char* path) {
    struct stat st {};
    if (stat(path, &st) != 0) return {};
    return {true, static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), st.st_size,
            static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}
