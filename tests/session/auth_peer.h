// The server's side of the authentication exchange, for scripted transports: it deciphers message
// 1 under the password key, answers message 2 and, after checking message 3, message 4. Each field
// of its answers can be bent by the test.
#pragma once

#include <cstring>
#include <string>

#include "crypto/des.h"
#include "script_transport.h"

struct AuthPeer {
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
    int step = 0;

    static void cbc(const unsigned char key[8], int32_t direction, unsigned char* p, uint32_t n) {
        uint32_t words[2];
        memcpy(words, key, 8);
        DesKeySchedule* ks = nullptr;
        if (desAllocKey(words, &ks) != 0) return;
        desCbc(ks, direction, desFixedIv(), p, n);
        desFreeKey(ks);
    }

    void operator()(ScriptTransport& t) {
        if (t.sent.size() < consumed + 24) return;
        auto* msg = reinterpret_cast<unsigned char*>(t.sent.data() + consumed);
        consumed += 24;
        if (step++ == 0) {
            unsigned char passwordKey[8];
            if (desDeriveKey(reinterpret_cast<const unsigned char*>(password.data()),
                             static_cast<int32_t>(password.size()), passwordKey) != 0) {
                return;
            }
            unsigned char data[16];
            memcpy(data, msg + 8, 16);
            cbc(passwordKey, DES_DECIPHER, data, 16);
            memcpy(sessionKey, data, 8);
            memcpy(clientChallenge, data + 8, 8);
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
        std::string header = makeVerb(length, answerCode).substr(0, 4);
        v.replace(0, 4, header);
        v[4] = static_cast<char>(dataOffset >> 8);
        v[5] = static_cast<char>(dataOffset);
        v[6] = static_cast<char>(dataLength >> 8);
        v[7] = static_cast<char>(dataLength);
        return v;
    }
};
