// see smverbs.h
#include "session/smverbs.h"

#include <cstdlib>
#include <cstring>

#include "common/byteorder.h"
#include "common/trace.h"
#include "session/smtrans.h"

static constexpr const char kTraceSource[] = "smverbs";

namespace {

void markConnectionFailed(SessionDesc* session) {
    if (session->termReason == kSmNotEnded) session->termReason = kSmEndConnection;
}

// Ends the session when an answer is too short to hold the byte at `offset`.
bool answerHolds(SessionDesc* session, const unsigned char* answer, uint32_t offset) {
    uint32_t length = smVerbLength(answer);
    if (length > offset) return true;
    TRACE("(%s, %i) Answer of %u bytes is too short; byte %u is needed.\n", TRACE_AT, length,
          offset);
    smTerminate(session, kSmEndProtocol);
    return false;
}

int resultForStatus(unsigned char status) {
    switch (status) {
        case kProxyAccepted:
            return kSmOk;
        case kProxyPasswordExpired:
            return kSmPasswordExpired;
        case kProxyNoSuchAdmin:
            return kSmNoSuchAdmin;
        case kProxyAdminLocked:
            return kSmAdminLocked;
        case kProxyServerNoMemory:
            return kSmOutOfMemory;
        default:
            return kSmSessionFailure;
    }
}

}  // namespace

int smIdentify(SessionDesc* session) {
    auto* request = static_cast<unsigned char*>(smAlloc(4));
    if (request == nullptr) {
        TRACE("(%s, %i) Out of memory.\n", TRACE_AT);
        return kSmSessionFailure;
    }
    putU16BE(request, 4);
    request[2] = VERB_IDENTIFY;
    request[3] = VERB_MAGIC;
    session->state = kSmIdentifying;
    if (smSendVerb(session, request) != 0) {
        markConnectionFailed(session);
        free(request);
        return kSmFailed;
    }
    const unsigned char* answer = smRecvVerb(session);
    if (answer == nullptr) {
        TRACE("(%s, %i) Error receiving Identify response.\n", TRACE_AT);
        free(request);
        return kSmSessionFailure;
    }
    if (!answerHolds(session, answer, kIdentifyCapabilityOffset)) {
        free(request);
        return kSmSessionFailure;
    }
    if (answer[kIdentifyCapabilityOffset] & kCapabilityProxy) {
        if (answer[kIdentifyCharsetOffset] == kIdentifyEbcdic) session->ebcdic = 1;
        free(request);
        return kSmOk;
    }
    TRACE("(%s, %i) Server does not support proxy agent.\n", TRACE_AT);
    putU16BE(request, 4);
    request[2] = VERB_ENDSESSION;
    if (smSendVerb(session, request) != 0) markConnectionFailed(session);
    free(request);
    smTerminate(session, kSmEndClosedByProxy);
    session->state = kSmIdle;
    return kSmNoProxySupport;
}

int smStartProxy(SessionDesc* session, const unsigned char* adminId, int32_t idLength) {
    if (idLength < 0 || idLength > UINT16_MAX - static_cast<int32_t>(kProxyRequestOverhead)) {
        return kSmSessionFailure;
    }
    uint32_t total = static_cast<uint32_t>(idLength) + kProxyRequestOverhead;
    auto* request = static_cast<unsigned char*>(smAlloc(total));
    if (request == nullptr) {
        TRACE("(%s, %i) Out of memory.\n", TRACE_AT);
        return kSmSessionFailure;
    }
    // Bytes 4 and 9 + n carry no value; they go out as zero.
    memset(request, 0, total);
    putU16BE(request, static_cast<uint16_t>(total));
    request[2] = VERB_PROXYSESS;
    request[3] = VERB_MAGIC;
    putU16BE(request + 5, 0);
    putU16BE(request + 7, static_cast<uint16_t>(idLength));
    memcpy(request + 9, adminId, static_cast<size_t>(idLength));
    int sent = transportSend(session->transport, request, static_cast<int32_t>(total));
    (void)transportFlush(session->transport);
    free(request);
    if (sent != 0) {
        markConnectionFailed(session);
        return kSmSessionFailure;
    }
    if (session->termReason != kSmNotEnded) return kSmSessionFailure;
    const unsigned char* answer = smRecvVerb(session);
    if (answer == nullptr) {
        TRACE("(%s, %i) Protocol error, no response sent.\n", TRACE_AT);
        return kSmSessionFailure;
    }
    if (!answerHolds(session, answer, kProxyStatusOffset)) return kSmSessionFailure;
    int result = resultForStatus(answer[kProxyStatusOffset]);
    if (result == kSmOk) session->state = kSmProxyStarted;
    return result;
}
