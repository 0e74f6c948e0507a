// The whole session against a scripted server: the set-up (identify, proxy session, the four
// authentication messages) and one page command relayed to standard output, with the fuzzer's
// bytes as what the server says.
//
// The first input byte chooses the script. Bit 0 clear: every byte the proxy receives comes from
// the input, from the first answer on. Bit 0 set: an honest server sets the session up (the
// challenge cannot be guessed) and the input is the response line and the page that follow. Bits 1
// to 3 give the size of the pieces the answers arrive in (0: as much as the proxy asks for).
//
// The transport is swapped in where the program connects: this target defines tcpOpen, so the
// session layer runs unchanged over the script.
#include <string>

#include "crypto/des.h"
#include "front/korproxy_relay.h"
#include "front/korproxy_request.h"
#include "fuzz/fuzz_support.h"
#include "net/tcpcomm.h"
#include "session/smsess.h"

namespace {

constexpr char kPassword[] = "SECRET";  // as the server holds it: upper-cased

struct Script {
    const unsigned char* input = nullptr;
    size_t size = 0;
    size_t used = 0;
    size_t piece = 0;
    bool honest = false;
    int answered = 0;     // honest answers given so far
    std::string pending;  // an honest answer not yet handed out
    std::string sent;
    unsigned char sessionKey[8] = {};
};

Script script;

void cbc(const unsigned char key[8], int32_t direction, unsigned char* bytes, uint32_t count) {
    uint32_t words[2];
    memcpy(words, key, 8);
    DesKeySchedule* schedule = nullptr;
    if (desAllocKey(words, &schedule) != 0) abort();
    desCbc(schedule, direction, desFixedIv(), bytes, count);
    desFreeKey(schedule);
}

std::string verb(uint16_t length, unsigned char code) {
    std::string v(length, '\0');
    v[0] = static_cast<char>(length >> 8);
    v[1] = static_cast<char>(length);
    v[2] = static_cast<char>(code);
    v[3] = static_cast<char>(0xA5);
    return v;
}

// The honest server's next answer, built from what the proxy has sent so far.
std::string honestAnswer(int step) {
    switch (step) {
        case 0: {
            std::string identify = verb(48, 0x1D);
            identify[5] = 0x01;   // ASCII
            identify[44] = 0x03;  // proxy capability
            return identify;
        }
        case 1:
            return verb(12, 0x5E);  // status 0: accepted
        case 2: {
            // Message 1 ends what has been sent: the session key and the client challenge under
            // the password key. Message 2 returns the challenge and one of the server's own under
            // the session key.
            if (script.sent.size() < 24) return {};
            unsigned char plain[16];
            memcpy(plain, script.sent.data() + script.sent.size() - 16, 16);
            unsigned char passwordKey[8];
            if (desDeriveKey(reinterpret_cast<const unsigned char*>(kPassword), 6, passwordKey) !=
                0)
                abort();
            cbc(passwordKey, DES_DECIPHER, plain, 16);
            memcpy(script.sessionKey, plain, 8);
            unsigned char answer[16];
            memcpy(answer, plain + 8, 8);
            memset(answer + 8, 0x5A, 8);
            cbc(script.sessionKey, DES_ENCIPHER, answer, 16);
            std::string message2 = verb(24, 0x16);
            message2[7] = 16;  // data offset 0, data length 16
            memcpy(message2.data() + 8, answer, 16);
            return message2;
        }
        case 3: {
            std::string message4 = verb(12, 0x11);
            message4[11] = 1;  // accepted
            return message4;
        }
        default:
            return {};
    }
}

int scriptSend(void*, const unsigned char* bytes, int32_t count) {
    if (count > 0) script.sent.append(reinterpret_cast<const char*>(bytes), count);
    return 0;
}

int scriptReceive(void*, unsigned char* dest, int32_t capacity) {
    if (capacity <= 0) return -1;
    size_t want = static_cast<size_t>(capacity);
    if (script.piece != 0 && script.piece < want) want = script.piece;
    if (script.honest && script.pending.empty() && script.answered < 4) {
        script.pending = honestAnswer(script.answered++);
        if (script.pending.empty()) return -1;
    }
    if (!script.pending.empty()) {
        size_t n = std::min(want, script.pending.size());
        memcpy(dest, script.pending.data(), n);
        script.pending.erase(0, n);
        return static_cast<int>(n);
    }
    if (script.used >= script.size) return -1;  // the server has gone
    size_t n = std::min(want, script.size - script.used);
    memcpy(dest, script.input + script.used, n);
    script.used += n;
    return static_cast<int>(n);
}

int scriptFlush(void*) {
    return 0;
}

void scriptClose(void*) {}

}  // namespace

// Stands in for the connection: installs the script in the descriptor.
int tcpOpen(char*, const char*, SessionDesc* session, char* errorText, size_t errorSize) {
    if (errorSize > 0) errorText[0] = '\0';
    session->conn = &script;
    session->send = scriptSend;
    session->receive = scriptReceive;
    session->flush = scriptFlush;
    session->close = scriptClose;
    session->release = scriptClose;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    fuzzQuietStart();
    if (size == 0) return 0;
    script = Script{};
    script.honest = (data[0] & 1) != 0;
    script.piece = (data[0] >> 1) & 7;
    script.input = data + 1;
    script.size = size - 1;

    SessionDesc* session = smNewSession();
    if (session == nullptr) abort();
    char host[] = "server.test";
    char port[] = "1500";
    char id[] = "admin";
    char password[] = "secret";
    int rc = smOpenSession(session, host, port, id, password);
    if (script.honest) FUZZ_CHECK(rc == kSmOk);
    if (rc == kSmOk) {
        FUZZ_CHECK(session->state == kSmReady && session->termReason == kSmNotEnded);
        (void)relayPage(session, "HTML /size/10 PROXYURL=/cgi-bin/velkproxy\n");
        (void)closeConnection(session);
    } else {
        FUZZ_CHECK(session->state != kSmReady);
    }
    smFreeSession(session);
    return 0;
}
