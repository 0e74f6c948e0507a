// see korproxy_check.h
#include "front/korproxy_check.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "common/audit.h"
#include "common/deadline.h"
#include "common/limits.h"
#include "front/korproxy_access.h"
#include "front/korproxy_errpage.h"
#include "front/korproxy_relay.h"
#include "front/korproxy_request.h"
#include "front/korproxy_request_parts.h"
#include "front/korproxy_state.h"
#include "net/tcpcomm.h"
#include "session/smsess_rc.h"
#include "settings/psopts.h"
#include "settings/pssec.h"
#include "settings/regplatform.h"

namespace {

void passed(const char* step, const std::string& detail) {
    printf("%s: ok (%s)\n", step, detail.c_str());
}

// Writes the failed step's line, records `word` as the check's result, and returns `status`.
int failed(int status, const char* step, const std::string& what, const char* word) {
    printf("%s: FAILED: %s\n", step, what.c_str());
    auditResult(word);
    return status;
}

std::string dotted(uint32_t address) {
    const auto* b = reinterpret_cast<const unsigned char*>(&address);  // network byte order
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
           std::to_string(b[3]);
}

// The server to check, as host:port text: the one given, or the stored default.
int checkStore(const std::string& given, std::string* address) {
    const char* step = "settings store read";
    const std::string place = regStorePlace();
    long rc = psDefaultsReadable();
    if (rc != 0 && rc != 2) {
        return failed(kCheckStore, step,
                      place + " cannot be read (code " + std::to_string(rc) +
                          "). Run the check as the web server's user (korproxy-admin check), "
                          "who must own the store.",
                      "store-unreadable");
    }
    const std::string defaultAddress = defaultServerAddress();
    if (given.empty() && defaultAddress.empty()) {
        return failed(kCheckStore, step,
                      "no default server is stored in " + place +
                          ". Store one with -tcps=HOST -tcpp=PORT, or name one with "
                          "-check=HOST:PORT.",
                      "no-default-server");
    }
    *address = given.empty() ? defaultAddress : given;
    passed(step, place);
    return kCheckPassed;
}

// The shared pair, or the pair a request of `webUser` would log on with.
int checkCredentials(Credentials& credentials, const std::string& webUser, LogonSource* logon) {
    const char* step = "credentials read";
    LogonSource& source = *logon;
    source = LogonSource::kShared;
    std::string refusal;
    int rc = webUser.empty() ? psReadPasswordFile(credentials.id, credentials.password)
                             : readLogonPair(webUser.c_str(), optsP, credentials.id,
                                             credentials.password, &source, &refusal);
    if (rc == kNoLogonAllowed) {
        return failed(kCheckCredentials, step,
                      "the web user " + webUser +
                          " has no logon of their own, and the shared one may not be used. Store "
                          "one with -webUser=" +
                          webUser + " -proxyId=ID -proxyPassword=PASSWORD.",
                      "no-logon");
    }
    if (rc == kPsNoMemory) {
        return failed(kCheckCredentials, step, "out of memory. Try again.", "out-of-memory");
    }
    if (rc != 0) {
        return failed(kCheckCredentials, step,
                      "no administrator id and password can be read from " + regStorePlace() +
                          ". Store them with -proxyId=ID -proxyPassword=PASSWORD.",
                      "no-credentials");
    }
    AuditRecord& audit = auditCurrent();
    audit.admin = credentials.id;
    audit.logon = source == LogonSource::kOwn ? "own" : "shared";
    passed(step,
           std::string("administrator id ") + credentials.id +
               (source == LogonSource::kOwn ? ", the web user's own pair" : ", the shared pair"));
    return kCheckPassed;
}

int checkAllowed(const char* host, const char* port, const std::string& given) {
    std::string refusal;
    if (!serverAllowed(optsP, host, port, given.c_str(), &refusal)) {
        return failed(kCheckNotAllowed, "server allowed",
                      given +
                          " is neither the default server nor on the list of allowed servers. Add "
                          "it with -allowServers=, or check a server on the list.",
                      "server-not-allowed");
    }
    bool listed = optsP->allowedServers[0] != '\0';
    passed("server allowed", listed ? given : given + "; no list of allowed servers is kept");
    return kCheckPassed;
}

int checkName(const std::string& host) {
    std::string name = host;
    uint32_t address = 0;
    if (tcpResolveAddress(name.data(), &address) != 0) {
        return failed(kCheckNameLookup, "name resolved",
                      "the name " + host +
                          " cannot be resolved. Check its spelling and this computer's name "
                          "service, or give the server's address instead.",
                      "name-lookup-failed");
    }
    passed("name resolved", host + " is " + dotted(address));
    return kCheckPassed;
}

// The transport's message as one sentence on one line.
std::string sentence(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '.')) text.pop_back();
    return text + ".";
}

// A proxy session the server refused, in words.
int proxyRefusal(int rc) {
    const char* step = "proxy session accepted";
    const std::string& admin = auditCurrent().admin;
    std::string what;
    switch (rc) {
        case kSmPasswordExpired:
            what =
                "the administrator password has expired. Change it on the server, then store "
                "the new one with -proxyPassword.";
            break;
        case kSmNoSuchAdmin:
            what = "the server knows no administrator id " + admin +
                   ". Store an id it knows with -proxyId and -proxyPassword.";
            break;
        case kSmAdminLocked:
            what = "the administrator id " + admin + " is locked on the server. Unlock it there.";
            break;
        case kSmOutOfMemory:
            what = "the server ran out of memory. Try again later.";
            break;
        default:
            what = "the server refused the proxy session (result " + std::to_string(rc) + ").";
            break;
    }
    return failed(kCheckProxySession, step, what, sessionResultWord(rc));
}

// The failed set-up step of a session that did not open, in words.
int sessionFailure(const SessionDesc& session, int rc, const std::string& port) {
    switch (session.setupStep) {
        case kSmStepConnect:
            return failed(kCheckConnection, "TCP connection made",
                          sentence(session.lastError) + " Check that the server runs and listens " +
                              "on port " + port + ", and that no firewall stands between.",
                          "connect-failed");
        case kSmStepIdentify:
            if (rc == kSmNoProxySupport) {
                return failed(kCheckIdentify, "server identified",
                              "the server does not support the proxy protocol. Switch its proxy "
                              "support on.",
                              sessionResultWord(rc));
            }
            return failed(kCheckIdentify, "server identified",
                          "the server did not answer the Identify request. Check that port " +
                              port + " is the administration port of a VELK server.",
                          "not-identified");
        case kSmStepProxy:
            return proxyRefusal(rc);
        default:
            return failed(kCheckAuthenticate, "authentication accepted",
                          "the password was refused: store it again with -proxyPassword.",
                          "password-refused");
    }
}

void reportOpenSteps(const SessionDesc& session, const std::string& port) {
    passed("TCP connection made", "port " + port);
    passed("server identified",
           std::string("proxy capability, ") + (session.ebcdic ? "EBCDIC" : "ASCII"));
    passed("proxy session accepted", "administrator id " + auditCurrent().admin);
    passed("authentication accepted", "session key agreed");
}

int checkStartPage(SessionDesc* session) {
    const char* step = "start page received";
    std::string command = buildGetCommand("/", storedCgiUrl());
    if (smSendCommand(session, command.c_str(), static_cast<int32_t>(command.size())) ==
        kSmOutOfMemory) {
        return failed(kCheckPage, step, "out of memory. Try again.", "out-of-memory");
    }
    uint32_t amount = 0;
    int rc = smRecvResponse(session, &amount);
    if (rc != 0) {
        const char* name = smRcName(rc);
        if (name == nullptr) {
            return failed(kCheckPage, step, "the connection dropped before the start page came.",
                          "comm-error");
        }
        return failed(kCheckPage, step,
                      std::string("the server answered ") + name + " instead of the start page.",
                      name);
    }
    PageBlock page = newPageBlock(amount);
    if (!page) {
        return failed(kCheckPage, step,
                      amount > kMaxPageBytes
                          ? "the server announced " + std::to_string(amount) + " bytes, too many."
                          : std::string("out of memory. Try again."),
                      "out-of-memory");
    }
    int count = smRecvData(session, reinterpret_cast<unsigned char*>(page.get()),
                           static_cast<int32_t>(amount));
    if (amount > 0 && count != static_cast<int>(amount)) {
        return failed(kCheckPage, step, "the start page was cut off.", "page-aborted");
    }
    auditResult("RC_OK");
    auditCurrent().bytes = amount;
    passed(step, std::to_string(amount) + " bytes, RC_OK");
    return kCheckPassed;
}

int checkSession(std::string host, const std::string& port, Credentials& credentials,
                 LogonSource logon) {
    Session session(smNewSession());
    if (!session) {
        return failed(kCheckConnection, "TCP connection made", "out of memory. Try again.",
                      "out-of-memory");
    }
    int rc = openSessionWith(session.get(), host.data(), port.c_str(), credentials, logon);
    if (rc != kSmOk) return sessionFailure(*session, rc, port);
    reportOpenSteps(*session, port);
    int status = checkStartPage(session.get());
    (void)closeConnection(session.get());
    deadlineStop();
    return status;
}

}  // namespace

int runConnectionCheck(const std::string& server, const std::string& webUser) {
    auditCurrent().event = AuditEvent::kCheck;
    std::string address;
    int status = checkStore(server, &address);
    if (status != kCheckPassed) return status;
    Credentials credentials;
    LogonSource logon = LogonSource::kShared;
    status = checkCredentials(credentials, webUser, &logon);
    if (status != kCheckPassed) return status;
    char* host = nullptr;
    char* port = nullptr;
    if (!splitServerAddress(address.data(), &host, &port)) {
        return failed(kCheckNameLookup, "name resolved",
                      "the server address " + address + " names no port. Give it as HOST:PORT.",
                      "bad-address");
    }
    const std::string given = std::string(host) + ":" + port;
    auditCurrent().server = given;
    status = checkAllowed(host, port, given);
    if (status == kCheckPassed) status = checkName(host);
    if (status == kCheckPassed) status = checkSession(host, port, credentials, logon);
    if (status == kCheckPassed) puts("All steps passed.");
    return status;
}
