// see smsess.h: creating, opening, ending and releasing a session
#include "session/smsess.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/platform.h"
#include "common/trace.h"
#include "crypto/pxyutils.h"
#include "net/tcpcomm.h"
#include "session/smsec.h"
#include "session/smverbs.h"

static constexpr const char kTraceSource[] = "smsess";

namespace {

SmAllocator gAllocator = nullptr;
TransportOpener gOpener = nullptr;

// The password is not case-sensitive: both sides derive their key from its upper-case form.
void upperCaseInPlace(char* text) {
    for (; *text != '\0'; ++text) {
        *text = static_cast<char>(toupper(static_cast<unsigned char>(*text)));
    }
}

int32_t textLength(const char* text) {
    size_t n = strlen(text);
    return n > INT32_MAX ? INT32_MAX : static_cast<int32_t>(n);
}

}  // namespace

void smSetAllocator(SmAllocator allocator) {
    gAllocator = allocator;
}

void* smAlloc(size_t size) {
    return gAllocator != nullptr ? gAllocator(size) : malloc(size);
}

void smSetTransportOpener(TransportOpener opener) {
    gOpener = opener;
}

const char* to_text(SmResult result) {
    switch (result) {
        case kSmOk:
            return "session ready";
        case kSmFailed:
            return "session failed";
        case kSmSessionFailure:
            return "session could not be opened";
        case kSmOutOfMemory:
            return "out of memory";
        case kSmValidationMismatch:
            return "password does not match the server's";
        case kSmNoSuchAdmin:
            return "no such administrator id";
        case kSmNotReady:
            return "session not ready";
        case kSmPasswordExpired:
            return "administrator password expired";
        case kSmNoProxySupport:
            return "server does not support the proxy";
        case kSmAdminLocked:
            return "administrator id locked";
    }
    return "unknown session result";
}

SessionDesc* smNewSession() {
    void* raw = smAlloc(sizeof(SessionDesc));
    if (raw == nullptr) {
        TRACE("(%s,%i) Unable to allocate memory for session desc!\n", TRACE_AT);
        return nullptr;
    }
    auto* session = new (raw) SessionDesc{};
    session->verbBuf = static_cast<unsigned char*>(smAlloc(kSmInitialStagingSize));
    if (session->verbBuf == nullptr) {
        TRACE("(%s,%i) Unable to allocate memory for verb buffer!\n", TRACE_AT);
        free(raw);
        return nullptr;
    }
    memset(session->verbBuf, 0, kSmInitialStagingSize);
    session->verbBufSize = kSmInitialStagingSize;
    session->state = kSmIdle;
    return session;
}

int smOpenSession(SessionDesc* session, char* host, const char* port, char* adminId,
                  char* password) {
    if (session == nullptr) return kSmSessionFailure;
    TRACE("(%s, %i) Opening session to %s:%s\n", TRACE_AT, traceText(host).c_str(),
          traceText(port).c_str());
    session->setupStep = kSmStepConnect;
    TransportOpener open = gOpener != nullptr ? gOpener : tcpOpen;
    int rc = open(host, port, &session->transport, session->lastError, sizeof session->lastError);
    if (rc != 0) {
        if (session->lastError[0] != '\0') {
            TRACE("(%s, %i)Tcp Session Error -> %s.\n", TRACE_AT,
                  traceText(session->lastError).c_str());
        }
        TRACE("(%s, %i) Unable to open session. rc = %i\n", TRACE_AT, rc);
        return kSmSessionFailure;
    }
    TRACE("(%s, %i) Sending Identify message.\n", TRACE_AT);
    session->setupStep = kSmStepIdentify;
    rc = smIdentify(session);
    if (rc != 0) {
        TRACE("(%s, %i) Failure identifying the server. rc = %i\n", TRACE_AT, rc);
        return rc;
    }
    int32_t idLength = textLength(adminId);
    if (session->ebcdic) convertAsciiToEbcdic(adminId, idLength);
    TRACE("(%s, %i) Starting the proxy session.\n", TRACE_AT);
    session->setupStep = kSmStepProxy;
    rc = smStartProxy(session, reinterpret_cast<const unsigned char*>(adminId), idLength);
    if (rc != 0 || session->termReason != kSmNotEnded) {
        TRACE("(%s, %i) Session terminated or proxy session failed. rc=%i termReason = %i.\n",
              TRACE_AT, rc, static_cast<int>(session->termReason));
        return rc != 0 ? rc : kSmSessionFailure;
    }
    TRACE("(%s, %i) Going secure.\n", TRACE_AT);
    session->setupStep = kSmStepAuthenticate;
    upperCaseInPlace(password);
    int32_t passwordLength = textLength(password);
    if (session->ebcdic) convertAsciiToEbcdic(password, passwordLength);
    rc = smAuthenticate(session, reinterpret_cast<const unsigned char*>(password), passwordLength);
    if (rc == 0 && session->termReason == kSmNotEnded) {
        session->state = kSmReady;
        session->setupStep = kSmStepReady;
        return kSmOk;
    }
    TRACE("(%s, %i) Session terminated during authenticate stage; rc = %i.\n", TRACE_AT, rc);
    return rc != 0 ? rc : kSmSessionFailure;  // an ended session is never reported as ready
}

int smTerminate(SessionDesc* session, SmEndReason reason) {
    if (session->termReason != kSmNotEnded) return 0;
    session->termReason = reason;
    const Transport& t = session->transport;
    if (t.conn != nullptr && t.close != nullptr) t.close(t.conn);
    session->state = kSmIdle;
    return 0;
}

int smCloseSession(SessionDesc* session) {
    return smTerminate(session, kSmEndClosedByProxy);
}

int smFreeSession(SessionDesc* session) {
    if (session == nullptr) return 0;
    if (session->termReason == kSmNotEnded) smTerminate(session, kSmEndClosedByProxy);
    const Transport& t = session->transport;
    if (t.conn != nullptr && t.release != nullptr) t.release(t.conn);
    free(session->verbBuf);
    osWipe(session->sessionKey, sizeof session->sessionKey);
    session->~SessionDesc();
    free(session);
    return 0;
}
