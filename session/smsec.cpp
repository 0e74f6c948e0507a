// see smsec.h
#include "session/smsec.h"

#include <cstdlib>
#include <cstring>

#include "common/byteorder.h"
#include "common/platform.h"
#include "common/trace.h"
#include "crypto/des.h"
#include "session/smtrans.h"

static constexpr const char kTraceSource[] = "smsec";

namespace {

void keyWords(const unsigned char key[8], uint32_t words[2]) {
    memcpy(words, key, 8);
}

// Builds a 24-byte authentication message around two blocks and enciphers its data area.
unsigned char* buildMessage(const unsigned char first[8], const unsigned char second[8],
                            const DesKeySchedule* schedule) {
    auto* msg = static_cast<unsigned char*>(smAlloc(kAuthMessageSize));
    if (msg == nullptr) return nullptr;
    putU16BE(msg, kAuthMessageSize);
    msg[2] = VERB_AUTH;
    msg[3] = VERB_MAGIC;
    putU16BE(msg + 4, 0);
    putU16BE(msg + 6, kAuthDataSize);
    memcpy(msg + 8, first, 8);
    memcpy(msg + 16, second, 8);
    desCbc(schedule, DES_ENCIPHER, desFixedIv(), msg + kAuthDataStart, kAuthDataSize);
    return msg;
}

int sendMessage(SessionDesc* session, const unsigned char first[8], const unsigned char second[8],
                const DesKeySchedule* schedule) {
    unsigned char* msg = buildMessage(first, second, schedule);
    if (msg == nullptr) return -1;
    int sent = smSendVerb(session, msg);
    osWipe(msg, kAuthMessageSize);
    free(msg);
    return sent;
}

// The data area of message 2 must lie wholly inside the verb and hold both blocks.
bool dataAreaFits(const unsigned char* verb, uint32_t* start, uint32_t* length) {
    uint32_t verbLength = smVerbLength(verb);
    *start = kAuthDataStart + getU16BE(verb + 4);
    *length = getU16BE(verb + 6);
    return *length >= kAuthDataSize && *start <= verbLength && *length <= verbLength - *start;
}

struct Handshake {
    unsigned char passwordKey[8] = {};
    unsigned char clientChallenge[8] = {};
    unsigned char serverChallenge[8] = {};
    uint32_t words[2] = {};  // the password key, then the session key, as key words
    DesKeySchedule* schedule = nullptr;
    ~Handshake() {
        desFreeKey(schedule);
        osWipe(passwordKey, sizeof passwordKey);
        osWipe(clientChallenge, sizeof clientChallenge);
        osWipe(serverChallenge, sizeof serverChallenge);
        osWipe(words, sizeof words);
    }
};

}  // namespace

int smAuthenticate(SessionDesc* session, const unsigned char* password, int32_t length) {
    Handshake hs;
    if (length < 1) {
        TRACE("(%s, %i) Client authentication failed - no password.~", TRACE_AT);
        return kSmFailed;
    }
    if (desDeriveKey(password, length, hs.passwordKey) != 0 ||
        desRandomBlock(hs.clientChallenge) != 0) {
        TRACE("(%s, %i) Client authentication failed - insufficient memory.~", TRACE_AT);
        smTerminate(session, kSmEndOutOfMemory);
        return kSmFailed;
    }
    if (desRandomBlock(session->sessionKey) != 0) {
        TRACE("(%s,%i) Client authentication failed - insufficient memory.~", TRACE_AT);
        smTerminate(session, kSmEndOutOfMemory);
        return kSmFailed;
    }
    session->secure = 1;
    keyWords(hs.passwordKey, hs.words);
    if (desAllocKey(hs.words, &hs.schedule) != 0) {
        TRACE("(%s,%i) Client authentication failed - insufficient memory.~", TRACE_AT);
        smTerminate(session, kSmEndOutOfMemory);
        return kSmSessionFailure;
    }

    // Message 1: the session key and the client challenge under the password key.
    if (sendMessage(session, session->sessionKey, hs.clientChallenge, hs.schedule) != 0) {
        return kSmFailed;
    }
    unsigned char* answer = smRecvVerb(session);
    if (answer == nullptr) return kSmFailed;
    if (answer[2] != VERB_AUTH) {
        TRACE("(%s, %i) Message out of sequence %u", TRACE_AT, unsigned{answer[2]});
        smTerminate(session, kSmEndProtocol);
        return kSmFailed;
    }
    uint32_t start = 0;
    uint32_t dataLength = 0;
    if (!dataAreaFits(answer, &start, &dataLength)) {
        TRACE("(%s, %i) Authentication answer data area lies outside the message.\n", TRACE_AT);
        smTerminate(session, kSmEndProtocol);
        return kSmFailed;
    }

    // Message 2: the client challenge and the server's own under the session key.
    keyWords(session->sessionKey, hs.words);
    desSetKey(hs.schedule, hs.words);
    desCbc(hs.schedule, DES_DECIPHER, desFixedIv(), answer + start, dataLength);
    if (memcmp(answer + start, hs.clientChallenge, 8) != 0) {
        TRACE("(%s, %i) Validation Keys missmatch!\n", TRACE_AT);
        smTerminate(session, kSmEndProtocol);
        return kSmValidationMismatch;
    }
    memcpy(hs.serverChallenge, answer + start + 8, 8);

    // Message 3: the server challenge and the session key under the session key.
    if (sendMessage(session, hs.serverChallenge, session->sessionKey, hs.schedule) != 0) {
        return kSmFailed;
    }
    answer = smRecvVerb(session);
    if (answer == nullptr) return kSmFailed;
    // A final answer too short to hold its verdict byte is a refusal, not a read of stale bytes.
    bool accepted = answer[2] == VERB_AUTHRESULT && smVerbLength(answer) > kAuthResultOffset &&
                    answer[kAuthResultOffset] == kAuthAccepted;
    return accepted ? kSmOk : kSmFailed;
}
