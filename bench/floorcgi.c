/* The floor of the performance record: the cheapest CGI program that writes the bytes korproxy
 * writes for a page. It reads one file whole and writes it to standard output in one call, so its
 * cost is a process start, one read and one write; korproxy fetching the same bytes from a server
 * is measured against it. Plain C against the C library alone: a program of the C++ runtime would
 * pay for loading that runtime, which korproxy itself does not load.
 *
 * The file is the first argument, or else the QUERY_STRING (a bare file name in the working folder,
 * as a web server starts a CGI program in its own folder). Status 0 when the whole page was
 * written, 1 otherwise. */
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

/* A query names a file of the working folder: letters, digits, '.', '_' and '-', no leading dot. */
static int bareFileName(const char* name) {
    if (name == NULL || name[0] == '\0' || name[0] == '.') return 0;
    for (const char* p = name; *p != '\0'; ++p) {
        int ok = (*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9') ||
                 *p == '.' || *p == '_' || *p == '-';
        if (!ok) return 0;
    }
    return 1;
}

/* One call writes the page; a pipe that takes less at a time gets the rest in more calls. */
static int writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return 0;
        }
        data += n;
        size -= (size_t)n;
    }
    return 1;
}

static int readAll(int fd, char* data, size_t size) {
    while (size > 0) {
        ssize_t n = read(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        data += n;
        size -= (size_t)n;
    }
    return 1;
}

int main(int argc, char** argv) {
    const char* name = argc > 1 ? argv[1] : getenv("QUERY_STRING");
    if (argc <= 1 && !bareFileName(name)) return 1;
    int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 1;
    struct stat info;
    if (fstat(fd, &info) != 0 || info.st_size < 0) return 1;
    size_t size = (size_t)info.st_size;
    char* page = malloc(size + 1);
    if (page == NULL || !readAll(fd, page, size)) return 1;
    close(fd);
    return writeAll(STDOUT_FILENO, page, size) ? 0 : 1;
}
