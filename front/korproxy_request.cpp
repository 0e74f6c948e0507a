// see korproxy_request.h
// GET, the session around a request and the command texts; POST is in korproxy_post.cpp.
#include "front/korproxy_request.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>
#include <string_view>

#include "common/audit.h"
#include "common/deadline.h"
#include "common/limits.h"
#include "common/textcopy.h"
#include "common/trace.h"
#include "front/korproxy_access.h"
#include "front/korproxy_args.h"
#include "front/korproxy_errpage.h"
#include "front/korproxy_relay.h"
#include "front/korproxy_request_parts.h"
#include "front/korproxy_special.h"
#include "front/korproxy_state.h"
#include "front/korproxy_template.h"
#include "front/korproxy_urlconv.h"
#include "settings/pssec.h"

static constexpr const char kTraceSource[] = "korproxy";

namespace {

const char* orEmpty(const char* text) {
    return text != nullptr ? text : "";
}

// The GET argument text, in a block of its own that the argument list may take over: the query
// string decoded as a whole in CGI mode, the replayed text as it is otherwise.
char* copyGetText(const RequestOrigin& origin, bool* zeroByte) {
    size_t length = strlen(origin.rawText);
    char* copy = static_cast<char*>(calloc(length + 10, 1));
    if (copy == nullptr) return nullptr;
    memcpy(copy, origin.rawText, length);
    if (!origin.console) unescapeUrl(copy, zeroByte);
    return copy;
}

// An open refused by the access rules: the page's message goes where a failed connect leaves its
// own, and the caller writes it with code 0.
int refuseOpen(SessionDesc* session, const std::string& message) {
    (void)copyTextCut(session->lastError, message);
    return kOpenRefused;
}

bool noDefaultServer() {
    return optsP == nullptr || (optsP->server[0] == '\0' && optsP->port[0] == '\0');
}

// The pieces joined in one block of their whole length; empty when there is no memory for it.
std::string joinCommand(std::initializer_list<std::string_view> pieces) {
    size_t length = 0;
    for (std::string_view piece : pieces) length += piece.size();
    std::string command;
    try {
        command.reserve(length);
    } catch (const std::bad_alloc&) {
        return {};
    }
    for (std::string_view piece : pieces) command += piece;
    return command;
}

}  // namespace

std::string buildGetCommand(const char* url, const char* cgiUrl) {
    return joinCommand({"HTML ", orEmpty(url), " PROXYURL=", orEmpty(cgiUrl), "\n"});
}

std::string buildPostCommand(const char* url, const char* payload, const char* cgiUrl) {
    return joinCommand({"HTML \"", orEmpty(url), "\" POST=\"", orEmpty(payload),
                        "\" PROXYURL=", orEmpty(cgiUrl), "\n"});
}

int openConnection(SessionDesc* session, char* address) {
    if (address == nullptr) {
        TRACE("(%s, %i) URL is null!", TRACE_AT);
        return -1;
    }
    clearAccessRecord();
    // The deciphered password lives here only for the open, and is wiped when it is done.
    Credentials credentials;
    LogonSource logon = LogonSource::kNone;
    std::string refusal;
    int rc = readLogonPair(getenv("REMOTE_USER"), optsP, credentials.id, credentials.password,
                           &logon, &refusal);
    if (rc == kNoLogonAllowed) {
        auditRefuse("no-logon");
        return refuseOpen(session, refusal);
    }
    if (rc != 0) {
        TRACE("(%s, %i) Unable to read password file rc = %i", TRACE_AT, rc);
        return rc;
    }
    unescapeUrl(address);
    TRACE("(%s, %i) Server URL is (%s)\n", TRACE_AT, traceText(address).c_str());
    char* host = nullptr;
    char* port = nullptr;
    if (!splitServerAddress(address, &host, &port)) return -1;
    const std::string given = std::string(host) + ":" + port;
    auditCurrent().server = given;
    // Before any name lookup: a server that is not allowed is never asked for.
    if (!serverAllowed(optsP, host, port, given.c_str(), &refusal)) {
        auditRefuse("server-not-allowed");
        return refuseOpen(session, refusal);
    }
    TRACE("(%s, %i) Opening a session with (%s):(%s)\n", TRACE_AT, traceText(host).c_str(),
          traceText(port).c_str());
    return openSessionWith(session, host, port, credentials, logon);
}

std::string defaultServerAddress() {
    if (optsP == nullptr || optsP->server[0] == '\0' || optsP->port[0] == '\0') return {};
    return std::string(optsP->server) + ":" + optsP->port;
}

int openSessionWith(SessionDesc* session, char* host, const char* port, Credentials& credentials,
                    LogonSource logon) {
    AuditRecord& audit = auditCurrent();
    audit.admin = credentials.id;
    audit.logon = logon == LogonSource::kOwn ? "own" : "shared";
    deadlineStart();
    int rc = smOpenSession(session, host, port, credentials.id, credentials.password);
    if (rc == 0) deadlineSetupDone();
    return rc;
}

bool splitServerAddress(char* address, char** host, char** port) {
    *host = address;
    if (char* slashes = strstr(address, "//")) {
        TRACE("(%s, %i) Dected // in url removing http://\n", TRACE_AT);
        *host = slashes + 2;
    }
    char* colon = strchr(*host, ':');
    if (colon == nullptr) {
        TRACE("(%s, %i) Server ll address is null.\n", TRACE_AT);
        return false;
    }
    *colon = '\0';
    *port = colon + 1;
    return true;
}

void printOpenFailure(const SessionDesc* session, int rc) {
    printErrorPage(session->lastError, rc == kOpenRefused ? 0 : rc);
}

bool refuseBrokenUrl(const char* url, bool zeroByte) {
    if (!zeroByte && (url == nullptr || strpbrk(url, "\r\n") == nullptr)) return false;
    TRACE("(%s, %i) URL refused: it holds a line break or a zero byte\n", TRACE_AT);
    auditRefuse("bad-url");
    printErrorPage("The URL holds a line break or a zero byte.", 0);
    return true;
}

int closeConnection(SessionDesc* session) {
    (void)smSendCommand(session, "BYE", 3);
    return smCloseSession(session);
}

const char* storedCgiUrl() {
    return optsP != nullptr ? optsP->cgiUrl : "";
}

int relayCommand(SessionDesc* session, const std::string& command) {
    if (command.empty()) {
        printErrorPage("Out of Memory!", 0);
        (void)closeConnection(session);
        return -1;
    }
    TRACE(
        "We are open and ready to recieve data from the other side\nWith the following request "
        "(%s)",
        command.c_str());
    int rc = relayPage(session, command.c_str());
    if (rc != 0) printErrorPage("", rc);
    (void)closeConnection(session);
    return rc;
}

int doGetRequest(const char* request) {
    TRACE("(%s, %i) In doGetRequest\n", TRACE_AT);
    request = orEmpty(request);
    const bool console = request[0] != '\0';
    const RequestOrigin origin{console ? request : orEmpty(getenv("QUERY_STRING")), console};
    bool zeroByte = false;
    char* text = copyGetText(origin, &zeroByte);
    if (text == nullptr) {
        printErrorPage("Out of Memory!", 0);
        return -1;
    }
    if (zeroByte) {
        free(text);
        (void)refuseBrokenUrl(nullptr, true);
        return -1;
    }
    ArgList list;
    if (text[0] == '\0') {
        free(text);
    } else {
        bool pageWritten = false;
        list.reset(buildArgList(text, &pageWritten, origin.console ? nullptr : origin.rawText));
        if (!list) {
            free(text);
            auditRefuse("bad-request");
            if (!pageWritten) printErrorPage("Nothing was submitted for this request", 0);
            return 0;
        }
        SpecialResult special = doSpecialRequest(list.get(), origin);
        // Settings just stored end with the default server's start page, asked for as a replay.
        if (special == SpecialResult::kStartPage) (void)doGetRequest("URL=/");
        if (special != SpecialResult::kNone) return 0;
    }
    ArgNode* urlNode = findArgExact(list.get(), "URL");
    if (urlNode != nullptr && refuseBrokenUrl(urlNode->value, false)) return -1;

    ArgNode* server = findArgPrefix(list.get(), "SERVER");
    if (server == nullptr && noDefaultServer()) {
        list.reset();
        showFile(kJumpPage);
        return 0;
    }
    auditCurrent().url = server == nullptr    ? "/"
                         : urlNode != nullptr ? orEmpty(urlNode->value)
                                              : "";
    Session session(smNewSession());
    if (!session) {
        printErrorPage("Out of Memory!", 0);
        return -1;
    }
    std::string defaultAddress = defaultServerAddress();
    char* address = nullptr;
    if (server != nullptr) {
        address = server->value;
    } else if (defaultAddress.empty()) {
        printErrorPage(
            "Errors with the default values for server and port were detected.  Please correct "
            "the problem.",
            0);
        return -1;
    } else {
        address = defaultAddress.data();
    }
    int rc = openConnection(session.get(), address);
    TRACE("(%s, %i) openConnection return %i.\n", TRACE_AT, rc);
    if (rc != 0) {
        printOpenFailure(session.get(), rc);
        return -1;
    }

    const char* url = "/";
    if (server != nullptr) {
        if (urlNode == nullptr) {
            TRACE("(%s, %i) No URL was specified!", TRACE_AT);
            printErrorPage("No URL was specified.", 0);
            (void)closeConnection(session.get());
            return -1;
        }
        TRACE("(%s, %i) Converting url string", TRACE_AT);
        ConvertUrlBack(urlNode);
        url = urlNode->value;
    }
    return relayCommand(session.get(), buildGetCommand(url, storedCgiUrl()));
}
