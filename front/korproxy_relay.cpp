// see korproxy_relay.h
#include "front/korproxy_relay.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/audit.h"
#include "common/cpufeatures.h"
#include "common/limits.h"
#include "common/textcopy.h"
#include "common/trace.h"
#include "front/korproxy_errpage.h"
#include "front/korproxy_prodname.h"
#include "front/korproxy_state.h"
#include "session/smsess_rc.h"

static constexpr const char kTraceSource[] = "korproxy";

namespace {

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

constexpr size_t kMarkerCount = std::size(kServerHeaderMarkers);
constexpr size_t kNone = static_cast<size_t>(-1);

constexpr size_t markerLength(size_t which) {
    return std::char_traits<char>::length(kServerHeaderMarkers[which]);
}

// A position is a candidate when its byte is a marker's first and the byte kProbe further on is
// that marker's byte there; only candidates are compared whole. Every marker reaches past kProbe.
constexpr size_t kProbe = 11;
static_assert(kMarkerCount == 3);
static_assert(markerLength(0) > kProbe && markerLength(1) > kProbe && markerLength(2) > kProbe);

constexpr unsigned char markerByte(size_t which, size_t at) {
    return static_cast<unsigned char>(kServerHeaderMarkers[which][at]);
}

bool candidateAt(const unsigned char* text, size_t at, size_t count) {
    if (at + kProbe >= count) return false;
    for (size_t w = 0; w < kMarkerCount; ++w) {
        if (text[at] == markerByte(w, 0) && text[at + kProbe] == markerByte(w, kProbe)) return true;
    }
    return false;
}

#if defined(__GNUC__)
typedef unsigned char Lane16 __attribute__((vector_size(16)));
typedef unsigned char Lane32 __attribute__((vector_size(32)));

// Goes on from `at` while no lane of positions holds a zero byte or a candidate; returns where it
// stopped (the lane with something in it, or where too few bytes are left for a lane).
template <typename Lane>
__attribute__((always_inline)) inline size_t skipQuietLanes(const unsigned char* text, size_t at,
                                                            size_t count) {
    constexpr size_t kLane = sizeof(Lane);
    for (; at + kLane + kProbe <= count; at += kLane) {
        Lane head, probe;
        memcpy(&head, text + at, kLane);
        memcpy(&probe, text + at + kProbe, kLane);
        auto hit = head == 0;
        for (size_t w = 0; w < kMarkerCount; ++w) {
            hit |= (head == markerByte(w, 0)) & (probe == markerByte(w, kProbe));
        }
        uint64_t words[kLane / 8];
        memcpy(words, &hit, sizeof words);
        uint64_t any = 0;
        for (uint64_t word : words) any |= word;
        if (any != 0) break;
    }
    return at;
}
#else
struct Lane16 {};  // without the compiler's vector types the page is gone through byte by byte
#endif

// The first position from `at` on that holds a zero byte or a candidate, or `count`; positions
// come out in order, a lane with anything in it being gone through byte by byte.
template <typename Lane>
__attribute__((always_inline)) inline size_t findCandidate(const unsigned char* text, size_t at,
                                                           size_t count) {
#if defined(__GNUC__)
    at = skipQuietLanes<Lane>(text, at, count);
#endif
    for (; at < count; ++at) {
        if (text[at] == 0 || candidateAt(text, at, count)) return at;
    }
    return count;
}

using CandidateSearch = size_t (*)(const unsigned char* text, size_t at, size_t count);

size_t findCandidate16(const unsigned char* text, size_t at, size_t count) {
    return findCandidate<Lane16>(text, at, count);
}

// Where the processor has 32-byte lanes, the page is gone through twice as fast.
#if defined(__GNUC__) && defined(__x86_64__)
__attribute__((target("avx2"))) size_t findCandidate32(const unsigned char* text, size_t at,
                                                       size_t count) {
    return findCandidate<Lane32>(text, at, count);
}
CandidateSearch pickCandidateSearch() {
    return cpuHasAvx2() ? findCandidate32 : findCandidate16;
}
#else
CandidateSearch pickCandidateSearch() {
    return findCandidate16;
}
#endif

// The leftmost occurrence of each marker on one line of the page, and where the line ends (its line
// feed, the first zero byte, or the count). An end of 0 is no line: it blanks and counts nothing.
struct LineMarks {
    size_t end = 0;
    size_t first[kMarkerCount] = {kNone, kNone, kNone};
};

size_t lineEndFrom(const char* page, size_t at, size_t count) {
    const void* feed = memchr(page + at, '\n', count - at);
    size_t end =
        feed == nullptr ? count : static_cast<size_t>(static_cast<const char*>(feed) - page);
    const void* zero = memchr(page + at, '\0', end - at);
    return zero == nullptr ? end : static_cast<size_t>(static_cast<const char*>(zero) - page);
}

// Applies the markers to one line in their order: the first marker's leftmost occurrence is
// blanked to the line's end; a later marker's leftmost occurrence is blanked only when it lies
// wholly before what is blank already (else the blank has destroyed it, and every later one too).
void blankLine(char* page, const LineMarks& line, size_t counts[kMarkerCount]) {
    size_t from = line.end;
    for (size_t w = 0; w < kMarkerCount; ++w) {
        if (line.first[w] != kNone && line.first[w] + markerLength(w) <= from) {
            from = line.first[w];
            ++counts[w];
        }
    }
    memset(page + from, ' ', line.end - from);
}

}  // namespace

PageBlock newPageBlock(uint32_t amount) {
    if (amount > kMaxPageBytes) return nullptr;
    return PageBlock(static_cast<char*>(calloc(size_t{amount} + 1, 1)));
}

// The rule reads: find the first marker anywhere, else the second, else the third; blank from it to
// the line's end; begin again. Blanking writes only spaces up to a line feed, so it never forms a
// marker, and every marker lies within one line: the rule comes down to each line on its own, with
// only the leftmost occurrence of each marker on it mattering. So the page is gone through once,
// with every marker looked for at once, and the traces are written per marker in the rule's order.
size_t removeServerHeaders(char* page, size_t count) {
    const auto* text = reinterpret_cast<const unsigned char*>(page);
    size_t counts[kMarkerCount] = {};
    LineMarks line;  // end 0: no line with a marker on it yet
    const CandidateSearch nextCandidate = pickCandidateSearch();
    for (size_t at = 0; (at = nextCandidate(text, at, count)) < count && text[at] != 0; ++at) {
        for (size_t w = 0; w < kMarkerCount; ++w) {
            size_t length = markerLength(w);
            if (at + length > count || memcmp(page + at, kServerHeaderMarkers[w], length) != 0) {
                continue;
            }
            if (at >= line.end) {  // the first marker on a new line: the last one is complete
                blankLine(page, line, counts);
                line = LineMarks{lineEndFrom(page, at, count)};
            }
            if (line.first[w] == kNone) line.first[w] = at;
        }
    }
    blankLine(page, line, counts);
    size_t blanked = 0;
    for (size_t w = 0; w < kMarkerCount; ++w) {
        for (size_t i = 0; i < counts[w]; ++i) traceMarker(w);
        blanked += counts[w];
    }
    return blanked;
}

int relayPage(SessionDesc* session, const char* command) {
    size_t length = strlen(command);
    // Only a command that could not be enciphered for want of memory is told apart: it never
    // left, so no answer would come.
    if (smSendCommand(session, command, static_cast<int32_t>(length)) == kSmOutOfMemory) {
        printErrorPage("Out of Memory!", 0);
        return 0;
    }
    uint32_t amount = 0;
    int rc = smRecvResponse(session, &amount);
    TRACE("(%s, %i)Command Response rc = %i amount to recieve %lld\n", TRACE_AT, rc,
          static_cast<long long>(amount));
    if (rc != 0) {
        TRACE("(%s, %i) Command Issued against server failed!\n Command Issued: %s\n", TRACE_AT,
              command);
        const char* name = smRcName(rc);
        auditResult(name != nullptr ? name : "comm-error");
        printErrorPage("Command issued against the server failed.\n", 0);
        return 0;
    }

    // A page beyond the bound is refused as if the memory were not there.
    PageBlock block = newPageBlock(amount);
    if (!block) {
        TRACE("(%s, %i) Memory allocation failed! Amt = %lld\n", TRACE_AT,
              static_cast<long long>(amount));
        auditResult("out-of-memory");
        printErrorPage("Unable to allocate a memory!", 0);
        return 0;
    }
    int count = smRecvData(session, reinterpret_cast<unsigned char*>(block.get()),
                           static_cast<int32_t>(amount));
    if (count <= 0) {
        TRACE("(%s, %i)TCP/IP read error! amt = %i\n", TRACE_AT, count);
        auditResult("page-aborted");
        printErrorPage("Error reading page from VELK server.  Recieve of page aborted", 0);
        // Tracing ends here for the rest of the run; the entry closes the stream.
        setTraceAside();
        return 0;
    }

    TRACE("(%s, %i) Sending proxy meta tags.\n", TRACE_AT);
    fputs("Content-type: text/html\n", stdout);
    fprintf(stdout, "Proxy: KORPROXY/%s\n\n\n", escapeControls(productVersion).c_str());
    (void)removeServerHeaders(block.get(), static_cast<size_t>(count));
    TRACE("(%s, %i)recieved %i cleaned: %s\n", TRACE_AT, count, block.get());
    TRACE("(%s, %i)<-----------END--------------->\n", TRACE_AT);

    errno = 0;
    size_t written = fwrite(block.get(), 1, static_cast<size_t>(count), stdout);
    int writeErrno = errno;
    fflush(stdout);
    auditResult("RC_OK");
    auditCurrent().bytes = static_cast<int64_t>(written);
    TRACE("(%s, %i)fwrite returned; rc=%d amt=%d errno=%d\n", TRACE_AT, static_cast<int>(written),
          count, writeErrno);
    return 0;
}
