// see korproxy_request.h
// The POST handler: the body from standard input, its payload, and the POST command.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/audit.h"
#include "common/limits.h"
#include "common/trace.h"
#include "front/korproxy_args.h"
#include "front/korproxy_errpage.h"
#include "front/korproxy_request.h"
#include "front/korproxy_request_parts.h"
#include "front/korproxy_state.h"

static constexpr const char kTraceSource[] = "korproxy";

namespace {

struct FreeBlock {
    void operator()(char* block) const { free(block); }
};
using Block = std::unique_ptr<char, FreeBlock>;

// The decimal value of CONTENT_LENGTH as the C library reads it: leading digits, 0 for none; -1
// when the variable is absent. A value past the range reads as the largest one.
long long contentLength() {
    const char* text = getenv("CONTENT_LENGTH");
    if (text == nullptr) return -1;
    errno = 0;
    long long value = strtoll(text, nullptr, 10);
    return value;
}

const char* orEmptyText(const char* text) {
    return text != nullptr ? text : "";
}

// Drops the carriage returns and line feeds at the end of the body, never going before its start.
void trimLineEnds(char* body) {
    size_t length = strlen(body);
    while (length > 0 && (body[length - 1] == '\r' || body[length - 1] == '\n')) {
        body[--length] = '\0';
    }
}

// Reads the announced body. Null with an error page written, and `*result` set, when the size is
// refused or the block is not there.
char* readBody(int* result) {
    long long length = contentLength();
    *result = -1;
    if (length < 1 || static_cast<unsigned long long>(length) > kMaxPostBody) {
        auditRefuse("bad-request");
    }
    if (length < 1) {
        printErrorPage("Invalid Size for a post request", 0);
        return nullptr;
    }
    // Checked before anything is allocated or read: the rest of the body stays unread.
    if (static_cast<unsigned long long>(length) > kMaxPostBody) {
        printErrorPage("Request body too large", 0);
        return nullptr;
    }
    char* body = static_cast<char*>(calloc(static_cast<size_t>(length) + 1, 1));
    if (body == nullptr) {
        printErrorPage("<h3>Proxy out of Memory!</h3>", 0);
        return nullptr;
    }
    TRACE("doPostRequest: content-length is %d.\n", static_cast<int>(length));
    // A body shorter than announced is taken as far as it came; the rest of the block stays zero.
    [[maybe_unused]] size_t got = fread(body, 1, static_cast<size_t>(length), stdin);
    TRACE("Post body is (%s)\n", traceText(body).c_str());
    return body;
}

// The form fields after the second "&" of the body, copied; null with an error page written.
char* copyPayload(const char* body, int* result) {
    *result = 0;
    const char* first = strchr(body, '&');
    if (first != nullptr) TRACE("body is (%s)\n", traceText(first).c_str());
    const char* second = first != nullptr ? strchr(first + 1, '&') : nullptr;
    if (second == nullptr) {
        auditRefuse("bad-request");
        printErrorPage("A blank post was submitted to the web proxy.", 0);
        return nullptr;
    }
    const char* payload = second + 1;
    size_t length = strlen(payload);
    char* copy = static_cast<char*>(calloc(length + 2, 1));
    if (copy == nullptr) {
        printErrorPage("Unable to allocate memory for post data.", 0);
        return nullptr;
    }
    memcpy(copy, payload, length);
    TRACE("(%s, %i) postData is (%s)\n", TRACE_AT, traceText(copy).c_str());
    return copy;
}

}  // namespace

int doPostRequest(const char* request) {
    TRACE("In doPostRequest\n");
    int result = 0;
    char* body = readBody(&result);
    if (body == nullptr) return result;
    if (body[0] == '\0') {
        free(body);
        auditRefuse("bad-request");
        printErrorPage("Blank POST, should contain some information", 0);
        return 0;
    }
    trimLineEnds(body);
    Block payload(copyPayload(body, &result));
    if (!payload) {
        free(body);
        return result;
    }

    bool pageWritten = false;
    ArgList list(buildArgList(body, &pageWritten));
    if (!list) {
        free(body);
        auditRefuse("bad-request");
        if (!pageWritten) printErrorPage("Blank POST, should contain some informaton", 0);
        return 0;
    }
    ArgNode* server = findArgPrefix(list.get(), "SERVER");
    if (server == nullptr) {
        auditRefuse("bad-request");
        printErrorPage("Internal Error: Post data did not contain any server name", 0);
        return -1;
    }
    ArgNode* urlNode = findArgExact(list.get(), "URL");
    if (urlNode != nullptr) {
        bool zeroByte = false;
        unescapeUrl(urlNode->value, &zeroByte);
        if (refuseBrokenUrl(urlNode->value, zeroByte)) return -1;
        auditCurrent().url = orEmptyText(urlNode->value);
    }
    Session session(smNewSession());
    if (!session) {
        printErrorPage("<B> No Memory Avaiable for session layer</b> ", 0);
        return -1;
    }
    int rc = openConnection(session.get(), server->value);
    TRACE("(%s, %i) openConnection return %i", TRACE_AT, rc);
    if (rc != 0) {
        printOpenFailure(session.get(), rc);
        return -1;
    }
    if (urlNode == nullptr) {
        printErrorPage("No URL was not specified for POST", 0);
        (void)closeConnection(session.get());
        return -1;
    }
    const char* url = request != nullptr && request[0] != '\0' ? request : urlNode->value;
    auditCurrent().url = orEmptyText(url);
    return relayCommand(session.get(), buildPostCommand(url, payload.get(), storedCgiUrl()));
}
