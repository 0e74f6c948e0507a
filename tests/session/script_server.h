// The scripted server of the session tests and the session fuzz target. ScriptTransport stands in
// for the connection: it hands out queued bytes in the pieces they were queued in (cut to
// `maxPiece` bytes when set), records what is sent, and fails the send or receive call chosen by
// the test; a peer callback may queue answers whenever the queue runs dry. HonestServer is such a
// peer: it answers Identify and the proxy session, then plays the server's side of the
// authentication with the project's own DES, each field of its answers bendable by the test.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <string>

#include "common/byteorder.h"
#include "crypto/des.h"
#include "session/smsess.h"
#include "trace_capture.h"

struct ScriptTransport {
    std::deque<std::string> incoming;  // each receive takes from the first piece only
    std::string sent;                  // every byte the send operation accepted
    size_t maxPiece = 0;               // the most one receive hands out; 0: what is asked for
    int failSendAt = -1;               // index of the send call that fails
    int sends = 0, receives = 0, flushes = 0, closes = 0, releases = 0;
    std::function<void(ScriptTransport&)> peer;

    void install(Transport* t) { *t = {this, send, receive, flush, close, release}; }
    void install(SessionDesc* s) { install(&s->transport); }
    void queue(const std::string& bytes) { incoming.push_back(bytes); }

    static ScriptTransport* of(void* conn) { return static_cast<ScriptTransport*>(conn); }
    static int send(void* c, const unsigned char* b, int32_t n) {
        ScriptTransport* t = of(c);
        if (t->sends++ == t->failSendAt) return -1;
        t->sent.append(reinterpret_cast<const char*>(b), static_cast<size_t>(n));
        return 0;
    }
    static int receive(void* c, unsigned char* d, int32_t cap) {
        ScriptTransport* t = of(c);
        t->receives++;
        auto ready = [t] {
            while (!t->incoming.empty() && t->incoming.front().empty()) t->incoming.pop_front();
            return !t->incoming.empty();
        };
        if (!ready() && t->peer) t->peer(*t);
        if (!ready()) return -1;
        std::string& front = t->incoming.front();
        size_t n = std::min(front.size(), static_cast<size_t>(cap));
        if (t->maxPiece != 0) n = std::min(n, t->maxPiece);
        memcpy(d, front.data(), n);
        front.erase(0, n);
        return static_cast<int>(n);
    }
    static int flush(void* c) { return (of(c)->flushes++, 0); }
    static void close(void* c) { of(c)->closes++; }
    static void release(void* c) { of(c)->releases++; }
};

// The server every session opened through openScripted talks to.
inline ScriptTransport* scriptedServer = nullptr;

// A TransportOpener (for smSetTransportOpener) that connects to scriptedServer.
inline int openScripted(char*, const char*, Transport* t, char* errorText, size_t errorSize) {
    if (errorSize > 0) errorText[0] = '\0';
    scriptedServer->install(t);
    return 0;
}

// A verb of `length` bytes in the normal form, zero-filled behind the header.
inline std::string makeVerb(uint16_t length, unsigned char code, unsigned char magic = 0xA5) {
    std::string v(std::max<size_t>(length, 4), '\0');
    putU16BE(reinterpret_cast<unsigned char*>(v.data()), length);
    v[2] = static_cast<char>(code);
    v[3] = static_cast<char>(magic);
    return v;
}

// An extended verb of `length` bytes (at least 12) whose 16-bit length field says 7.
inline std::string makeExtendedVerb(uint32_t length, uint32_t code) {
    std::string v =
        makeVerb(7, 8).substr(0, 4) + std::string(std::max<uint32_t>(length, 12) - 4, 'x');
    putU32BE(reinterpret_cast<unsigned char*>(v.data() + 4), code);
    putU32BE(reinterpret_cast<unsigned char*>(v.data() + 8), length);
    return v;
}

// An Identify answer with the character set at byte 5 and the capabilities at byte 44.
inline std::string identifyAnswer(unsigned char charset, unsigned char capability,
                                  uint16_t length = 48) {
    std::string v = makeVerb(length, 0x1D);
    if (v.size() > 5) v[5] = static_cast<char>(charset);
    if (v.size() > 44) v[44] = static_cast<char>(capability);
    return v;
}

struct HonestServer {
    int step = 2;  // 0: answers Identify (ASCII, proxy capability) and the proxy session first
    std::string password = "SECRET";  // as the server holds it, already upper-cased
    unsigned char answerCode = 0x16;
    uint16_t dataOffset = 0;
    uint16_t dataLength = 16;
    int verbLength = -1;  // -1: exactly what the data area needs
    unsigned char finalCode = 0x11;
    uint16_t finalLength = 12;

    unsigned char sessionKey[8] = {};
    unsigned char clientChallenge[8] = {};
    const unsigned char serverChallenge[8] = {0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58};
    bool message3Valid = false;
    size_t consumed = 0;

    static void cbc(const unsigned char key[8], int32_t direction, unsigned char* p, uint32_t n) {
        uint32_t words[2];
        memcpy(words, key, 8);
        DesKeySchedule* ks = nullptr;
        if (desAllocKey(words, &ks) != 0) return;
        desCbc(ks, direction, desFixedIv(), p, n);
        desFreeKey(ks);
    }

    void operator()(ScriptTransport& t) {
        if (step < 2) {
            t.queue(step++ == 0 ? identifyAnswer(0x01, 0x03) : makeVerb(12, 0x5E));
            consumed = t.sent.size();
            return;
        }
        if (step > 3 || t.sent.size() < consumed + 24) return;
        auto* msg = reinterpret_cast<unsigned char*>(t.sent.data() + consumed);
        consumed += 24;
        if (step++ == 2) {
            unsigned char passwordKey[8] = {};  // a key that fails to derive matches nothing
            (void)desDeriveKey(reinterpret_cast<const unsigned char*>(password.data()),
                               static_cast<int32_t>(password.size()), passwordKey);
            cbc(passwordKey, DES_DECIPHER, msg + 8, 16);
            memcpy(sessionKey, msg + 8, 8);
            memcpy(clientChallenge, msg + 16, 8);
            t.queue(message2());
        } else {
            cbc(sessionKey, DES_DECIPHER, msg + 8, 16);
            message3Valid =
                memcmp(msg + 8, serverChallenge, 8) == 0 && memcmp(msg + 16, sessionKey, 8) == 0;
            std::string final = makeVerb(finalLength, finalCode);
            if (final.size() > 11) final[11] = 1;
            t.queue(final);
        }
    }

    std::string message2() const {
        size_t need = 8u + dataOffset + dataLength;
        std::string v(std::max<size_t>(need, 8), '\0');
        std::string data(dataLength, '\0');
        memcpy(data.data(), clientChallenge, std::min<size_t>(8, dataLength));
        if (dataLength >= 16) memcpy(data.data() + 8, serverChallenge, 8);
        cbc(sessionKey, DES_ENCIPHER, reinterpret_cast<unsigned char*>(data.data()), dataLength);
        v.replace(8 + dataOffset, dataLength, data);
        uint16_t length = static_cast<uint16_t>(verbLength >= 0 ? verbLength : need);
        v.resize(std::max<size_t>(length, 8));
        v.replace(0, 4, makeVerb(length, answerCode).substr(0, 4));
        putU16BE(reinterpret_cast<unsigned char*>(v.data() + 4), dataOffset);
        putU16BE(reinterpret_cast<unsigned char*>(v.data() + 6), dataLength);
        return v;
    }
};

// A fresh descriptor with a scripted transport in its slots, released at the end of the test.
struct Scripted {
    SessionDesc* s = smNewSession();
    ScriptTransport t;
    Scripted() { t.install(s); }
    ~Scripted() { smFreeSession(s); }
    Scripted(const Scripted&) = delete;
    Scripted& operator=(const Scripted&) = delete;
};
