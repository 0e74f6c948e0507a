// see smtrans.h
#include "session/smtrans.h"

#include <cstdlib>
#include <cstring>

#include "common/byteorder.h"
#include "common/limits.h"
#include "common/trace.h"

static constexpr const char kTraceSource[] = "smtrans";

namespace {

void markConnectionFailed(SessionDesc* session) {
    if (session->termReason == kSmNotEnded) session->termReason = kSmEndConnection;
}

// Calls the receive operation until exactly `count` bytes have arrived at `dest`.
bool receiveExactly(SessionDesc* session, unsigned char* dest, uint32_t count) {
    while (count > 0) {
        int32_t ask = count > INT32_MAX ? INT32_MAX : static_cast<int32_t>(count);
        int got = transportReceive(session->transport, dest, ask);
        if (got <= 0 || got > ask) return false;
        dest += got;
        count -= static_cast<uint32_t>(got);
    }
    return true;
}

}  // namespace

uint32_t smVerbLength(const unsigned char* verb) {
    return verb[2] == VERB_EXTENDED ? getU32BE(verb + 8) : getU16BE(verb);
}

int smSendVerb(SessionDesc* session, unsigned char* verb) {
    uint32_t code = verb[2] == VERB_EXTENDED ? getU32BE(verb + 4) : verb[2];
    uint32_t length = smVerbLength(verb);
    verb[3] = VERB_MAGIC;
    if (session->termReason != kSmNotEnded) return -1;
    TRACE("(%s, %i) Send Verb: Length=%d, Code=%.4X\n", TRACE_AT, static_cast<int>(length), code);
    if (length > INT32_MAX) {
        markConnectionFailed(session);
        return -1;
    }
    int sent = transportSend(session->transport, verb, static_cast<int32_t>(length));
    // A failed flush shows at the next receive, which flushes again first.
    (void)transportFlush(session->transport);
    if (sent != 0) {
        markConnectionFailed(session);
        return -1;
    }
    return session->termReason != kSmNotEnded ? -1 : 0;
}

unsigned char* smRecvVerb(SessionDesc* session) {
    if (session->termReason != kSmNotEnded) return nullptr;
    unsigned char* buf = session->verbBuf;
    bool read = receiveExactly(session, buf, kVerbHeaderSize);
    if (read && buf[2] == VERB_EXTENDED) read = receiveExactly(session, buf + 4, 8);
    if (!read) markConnectionFailed(session);
    if (session->termReason != kSmNotEnded) return nullptr;

    uint32_t headerSize = buf[2] == VERB_EXTENDED ? kVerbExtHeaderSize : kVerbHeaderSize;
    uint32_t length = smVerbLength(buf);
    if (buf[3] != VERB_MAGIC) {
        TRACE("(%s, %i) Bad Verb magic.\n", TRACE_AT);
        smTerminate(session, kSmEndProtocol);
        return nullptr;
    }
    if (length > kMaxVerbLength) {
        TRACE("(%s, %i) Verb of %u bytes refused; the limit is %u.\n", TRACE_AT, length,
              kMaxVerbLength);
        smTerminate(session, kSmEndProtocol);
        return nullptr;
    }
    if (length < headerSize) {
        markConnectionFailed(session);
        return nullptr;
    }
    if (length > static_cast<uint32_t>(session->verbBufSize)) {
        unsigned char header[kVerbExtHeaderSize];
        memcpy(header, buf, headerSize);
        if (smExtendStaging(session, length) != 0) {
            smTerminate(session, kSmEndOutOfMemory);
            return nullptr;
        }
        buf = session->verbBuf;
        memcpy(buf, header, headerSize);
    }
    if (!receiveExactly(session, buf + headerSize, length - headerSize)) {
        markConnectionFailed(session);
        return nullptr;
    }
    return session->termReason != kSmNotEnded ? nullptr : buf;
}

int smExtendStaging(SessionDesc* session, uint32_t needed) {
    // kMaxVerbLength keeps `needed` far below the point where these sums could overflow.
    int64_t bySlack = int64_t{needed} + kVerbGrowthSlack;
    int64_t byStep = int64_t{session->verbBufSize} + kVerbGrowthStep;
    int64_t size = bySlack > byStep ? bySlack : byStep;
    if (size > INT32_MAX) return -1;
    auto* grown = static_cast<unsigned char*>(smAlloc(static_cast<size_t>(size)));
    if (grown == nullptr) {
        TRACE("(%s, %i) Unable to allocate a larger verb staging buffer extend", TRACE_AT);
        return -1;
    }
    free(session->verbBuf);
    session->verbBuf = grown;
    session->verbBufSize = static_cast<int32_t>(size);
    return 0;
}
