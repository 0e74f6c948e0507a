// see smsess.h: the command exchange of a ready session (command, response line, page)
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "common/limits.h"
#include "common/platform.h"
#include "common/trace.h"
#include "crypto/des.h"
#include "session/smsess.h"
#include "session/smsess_rc.h"

static constexpr const char kTraceSource[] = "smsess";

namespace {

// The page is read straight into the caller's buffer in pieces of at most this many bytes.
constexpr int32_t kPagePiece = 1024;

// Builds a key schedule for the session key; null when there is no memory.
DesKeySchedule* sessionSchedule(const SessionDesc* session) {
    uint32_t words[2];
    memcpy(words, session->sessionKey, sizeof words);
    DesKeySchedule* schedule = nullptr;
    int rc = desAllocKey(words, &schedule);
    osWipe(words, sizeof words);
    return rc == 0 ? schedule : nullptr;
}

// One byte of the response line: true when exactly one arrived.
bool receiveByte(SessionDesc* session, unsigned char* byte) {
    if (session->transport.receive == nullptr) return false;
    return transportReceive(session->transport, byte, 1) == 1;
}

}  // namespace

int smSendCommand(SessionDesc* session, const char* text, int32_t length) {
    if (session->state != kSmReady) return kSmNotReady;
    if (length < 0) length = 0;
    TRACE("(%s, %i) Sending command to the server (%.*s).\n", TRACE_AT, static_cast<int>(length),
          text);
    auto* copy = static_cast<unsigned char*>(smAlloc(static_cast<size_t>(std::max(length, 1))));
    if (copy == nullptr) {
        TRACE("(%s, %i) Out of memory!\n", TRACE_AT);
        return kSmOutOfMemory;
    }
    memcpy(copy, text, static_cast<size_t>(length));
    if (!session->secure) {
        TRACE("(%s, %i) The connection is not secure, yet in the ready state...what?\n", TRACE_AT);
        free(copy);
        return kSmSessionFailure;
    }
    DesKeySchedule* schedule = sessionSchedule(session);
    if (schedule == nullptr) {
        TRACE("(%s, %i) Out of memory!\n", TRACE_AT);
        free(copy);
        return kSmOutOfMemory;
    }
    desCbc(schedule, DES_ENCIPHER, desFixedIv(), copy, static_cast<uint32_t>(length));
    desFreeKey(schedule);
    int sent = transportSend(session->transport, copy, length);
    free(copy);
    if (sent != 0) {
        TRACE("(%s, %i) Connection droped while sending command\n", TRACE_AT);
        smTerminate(session, kSmEndConnection);
        return kSmSessionFailure;
    }
    (void)transportFlush(session->transport);
    return kSmOk;
}

int smRecvResponse(SessionDesc* session, uint32_t* amount) {
    unsigned char byte = 0;
    if (!receiveByte(session, &byte)) {
        TRACE("(%s, %i) Connection droped while receiving response\n", TRACE_AT);
        return -1;
    }
    char line[kResponseLineMax + 1];
    size_t kept = 0;
    size_t dropped = 0;
    while (byte != 0) {
        if (kept < kResponseLineMax) {
            line[kept++] = static_cast<char>(byte);
        } else if (++dropped > kResponseLineDropMax) {
            TRACE("(%s, %i) Response line longer than %zu bytes; session ended.\n", TRACE_AT,
                  kResponseLineMax + kResponseLineDropMax);
            smTerminate(session, kSmEndProtocol);
            return -1;
        }
        if (!receiveByte(session, &byte)) {
            TRACE("(%s, %i) Connection droped while receiving response\n", TRACE_AT);
            smTerminate(session, kSmEndConnection);
            return -1;
        }
    }
    line[kept] = '\0';
    TRACE("(%s, %i) server response is (%s)\n", TRACE_AT, traceText(line).c_str());
    return smParseRc(line, amount);
}

int smRecvData(SessionDesc* session, unsigned char* buffer, int32_t amount) {
    if (session->state != kSmReady) return kSmNotReady;
    if (amount <= 0) return 0;
    // The buffer is not zero-filled first: its pages would all become resident at the announced
    // size before a byte arrives.
    for (int32_t got = 0; got < amount;) {
        int32_t ask = std::min(kPagePiece, amount - got);
        int n = transportReceive(session->transport, buffer + got, ask);
        if (n <= 0 || n > ask) {
            TRACE("(%s, %i) Problem with TCP/IP Stream\n", TRACE_AT);
            smTerminate(session, kSmEndConnection);
            return -1;
        }
        got += n;
    }
    buffer[amount] = 0;
    if (!session->secure) {
        TRACE("(%s, %i) The connection is not secure, yet in the ready state...what?\n", TRACE_AT);
        return amount;
    }
    DesKeySchedule* schedule = sessionSchedule(session);
    if (schedule == nullptr) {
        TRACE("(%s, %i) Out of memory!\n", TRACE_AT);
        return amount;
    }
    desCbc(schedule, DES_DECIPHER, desFixedIv(), buffer, static_cast<uint32_t>(amount));
    desFreeKey(schedule);
    return amount;
}
