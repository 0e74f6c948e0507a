// see korproxy_relay.h
#include "front/korproxy_relay.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

#include "common/limits.h"
#include "common/trace.h"
#include "front/korproxy.h"
#include "front/korproxy_errpage.h"
#include "front/korproxy_prodname.h"

static constexpr const char kTraceSource[] = "korproxy";

namespace {

// Blocks from this size up are mapped with their memory made present at once: the kernel fills
// the pages in one pass instead of taking a fault for each page as the page data first touches it.
constexpr size_t kPopulatedBlockMin = 256 * 1024;

// The page block: `size` zero bytes, or none (get() is null) when there is no memory for them.
class PageBlock {
  public:
    explicit PageBlock(size_t size) {
#ifdef MAP_POPULATE
        if (size >= kPopulatedBlockMin) {
            void* mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                                MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
            if (mapped != MAP_FAILED) {
                data_ = static_cast<char*>(mapped);
                mapped_ = size;
                return;
            }
        }
#endif
        data_ = static_cast<char*>(calloc(size, 1));
    }
    ~PageBlock() {
        if (mapped_ != 0) {
            munmap(data_, mapped_);
        } else {
            free(data_);
        }
    }
    PageBlock(const PageBlock&) = delete;
    PageBlock& operator=(const PageBlock&) = delete;
    char* get() const {
        return data_;
    }

  private:
    char* data_ = nullptr;
    size_t mapped_ = 0;  // the mapping's length; 0 when the block came from calloc
};

void traceMarker(size_t which) {
    switch (which) {
        case 0:
            TRACE("(%s, %i) Found content-type tag, removing.\n", TRACE_AT);
            break;
        case 1:
            TRACE("(%s, %i) Found HTTP tag, removing.\n", TRACE_AT);
            break;
        default:
            TRACE("(%s, %i) Found server velk_http tag, removing.\n", TRACE_AT);
            break;
    }
}

// Spaces from `at` up to the next line feed or the end of `text`; returns where the blank ends.
size_t blankToLineEnd(char* text, size_t at, size_t end) {
    while (at < end && text[at] != '\n') text[at++] = ' ';
    return at;
}

}  // namespace

// Blanking never forms a new occurrence of any marker (it writes only spaces, up to a line feed),
// so searching marker by marker, each left to right from where the last blank ended, finds exactly
// what searching again from the page's start after every blank would, in the same order, in one
// pass per marker instead of one per occurrence. memmem, not a search for the marker's first
// letter: a page's text holds the markers' first letters every few bytes.
size_t removeServerHeaders(char* page, size_t count) {
    size_t end = strnlen(page, count);
    size_t blanked = 0;
    for (size_t which = 0; which < std::size(kServerHeaderMarkers); ++which) {
        std::string_view marker = kServerHeaderMarkers[which];
        size_t from = 0;
        for (;;) {
            const void* found = memmem(page + from, end - from, marker.data(), marker.size());
            if (found == nullptr) break;
            size_t at = static_cast<size_t>(static_cast<const char*>(found) - page);
            traceMarker(which);
            from = blankToLineEnd(page, at, end);
            ++blanked;
        }
    }
    return blanked;
}

int relayPage(SessionDesc* session, const char* command) {
    size_t length = strlen(command);
    (void)smSendCommand(session, command, static_cast<int32_t>(length));
    uint32_t amount = 0;
    int rc = smRecvResponse(session, &amount);
    TRACE("(%s, %i)Command Response rc = %i amount to recieve %lld\n", TRACE_AT, rc,
          static_cast<long long>(amount));
    if (rc != 0) {
        TRACE("(%s, %i) Command Issued against server failed!\n Command Issued: %s\n", TRACE_AT,
              command);
        printErrorPage("Command issued against the server failed.\n", 0);
        return 0;
    }

    // The block is zero-filled, so the page is always a terminated text; a page beyond the bound is
    // refused as if the memory were not there.
    std::optional<PageBlock> block;
    if (amount <= kMaxPageBytes) block.emplace(size_t{amount} + 1);
    if (!block || block->get() == nullptr) {
        TRACE("(%s, %i) Memory allocation failed! Amt = %lld\n", TRACE_AT,
              static_cast<long long>(amount));
        printErrorPage("Unable to allocate a memory!", 0);
        return 0;
    }
    int count = smRecvData(session, reinterpret_cast<unsigned char*>(block->get()),
                           static_cast<int32_t>(amount));
    if (count <= 0) {
        TRACE("(%s, %i)TCP/IP read error! amt = %i\n", TRACE_AT, count);
        printErrorPage("Error reading page from VELK server.  Recieve of page aborted", 0);
        closeTraceFile();
        return 0;
    }

    TRACE("(%s, %i) Sending proxy meta tags.\n", TRACE_AT);
    fputs("Content-type: text/html\n", stdout);
    fprintf(stdout, "Proxy: KORPROXY/%s\n\n\n", productVersion);
    (void)removeServerHeaders(block->get(), static_cast<size_t>(count));
    TRACE("(%s, %i)recieved %i cleaned: %s\n", TRACE_AT, count, block->get());
    TRACE("(%s, %i)<-----------END--------------->\n", TRACE_AT);

    errno = 0;
    size_t written = fwrite(block->get(), 1, static_cast<size_t>(count), stdout);
    int writeErrno = errno;
    fflush(stdout);
    TRACE("(%s, %i)fwrite returned; rc=%d amt=%d errno=%d\n", TRACE_AT, static_cast<int>(written),
          count, writeErrno);
    return 0;
}
