// The floor of the performance record: a CGI program that does nothing but write a page it already
// has. It reads one file whole and writes it to standard output, so its cost is a process start,
// one read and one write of the page's bytes; korproxy fetching the same bytes from a server is
// measured against it.
//
// The file is the first argument, or else the QUERY_STRING (a bare file name in the working folder,
// as a web server starts a CGI program in its own folder). Status 0 when the whole page was
// written, 1 otherwise.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// A query names a file of the working folder: letters, digits, '.', '_' and '-', no leading dot.
bool bareFileName(const char* name) {
    if (name == nullptr || name[0] == '\0' || name[0] == '.') return false;
    for (const char* p = name; *p != '\0'; ++p) {
        bool ok = (*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') ||
                  (*p >= '0' && *p <= '9') || *p == '.' || *p == '_' || *p == '-';
        if (!ok) return false;
    }
    return true;
}

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool readAll(int fd, char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::read(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const char* name = argc > 1 ? argv[1] : getenv("QUERY_STRING");
    if (argc <= 1 && !bareFileName(name)) return 1;
    int fd = ::open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 1;
    struct stat info {};
    if (fstat(fd, &info) != 0 || info.st_size < 0) return 1;
    auto size = static_cast<size_t>(info.st_size);
    std::unique_ptr<char[]> page(new (std::nothrow) char[size + 1]);
    if (!page || !readAll(fd, page.get(), size)) return 1;
    ::close(fd);
    return writeAll(STDOUT_FILENO, page.get(), size) ? 0 : 1;
}
