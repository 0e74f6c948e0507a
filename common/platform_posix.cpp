// see platform.h: the POSIX side
#include <sys/mman.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/platform.h"

namespace {

// Blocks from this size up are mapped with their memory made present at once: the kernel fills
// the pages in one pass instead of taking a fault for each page as the page data first touches it.
constexpr size_t kPopulatedBlockMin = 256 * 1024;

}  // namespace

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

FILE* osOpenAppend(const char* path) {
    return fopen(path, "a");
}

void* osBlockAlloc(size_t size, bool* mapped) {
    *mapped = false;
#ifdef MAP_POPULATE
    if (size >= kPopulatedBlockMin) {
        void* block = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        if (block != MAP_FAILED) {
            *mapped = true;
            return block;
        }
    }
#endif
    return calloc(size, 1);
}

void osBlockFree(void* block, size_t size, bool mapped) {
    if (mapped) {
        munmap(block, size);
    } else {
        free(block);
    }
}
