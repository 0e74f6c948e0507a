// Test helpers: an independent DES from libcrypto, and key words made from key bytes.
#pragma once

#include <openssl/des.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "crypto/des.h"

namespace testdes {

using Bytes = std::vector<unsigned char>;

inline void keyWords(const unsigned char key[8], uint32_t words[2]) {
    std::memcpy(words, key, 8);
}

// Owns one schedule of the cipher under test.
struct Schedule {
    DesKeySchedule* s = nullptr;
    explicit Schedule(const unsigned char key[8]) {
        uint32_t words[2];
        keyWords(key, words);
        if (desAllocKey(words, &s) != 0) s = nullptr;
    }
    ~Schedule() { desFreeKey(s); }
    Schedule(const Schedule&) = delete;
    Schedule& operator=(const Schedule&) = delete;
};

// One block enciphered by libcrypto.
inline void oracleEncipherBlock(const unsigned char key[8], const unsigned char in[8],
                                unsigned char out[8]) {
    DES_cblock k;
    std::memcpy(k, key, 8);
    DES_key_schedule ks;
    DES_set_key_unchecked(&k, &ks);
    DES_cblock i, o;
    std::memcpy(i, in, 8);
    DES_ecb_encrypt(&i, &o, &ks, DES_ENCRYPT);
    std::memcpy(out, o, 8);
}

// CBC with the tail rule, built from libcrypto's CBC on the whole blocks and its single block E().
inline Bytes oracleCbc(const unsigned char key[8], bool decipher, const unsigned char iv[8],
                       const Bytes& in) {
    Bytes out = in;
    const size_t whole = in.size() / 8 * 8;
    DES_cblock k;
    std::memcpy(k, key, 8);
    DES_key_schedule ks;
    DES_set_key_unchecked(&k, &ks);
    DES_cblock chain;
    std::memcpy(chain, iv, 8);
    if (whole > 0) {
        DES_ncbc_encrypt(in.data(), out.data(), static_cast<long>(whole), &ks, &chain,
                         decipher ? DES_DECRYPT : DES_ENCRYPT);
    }
    if (in.size() > whole) {
        // The stream for the tail is E(last ciphertext block), or E(IV) with no whole block.
        const unsigned char* last = iv;
        if (whole > 0) last = decipher ? in.data() + whole - 8 : out.data() + whole - 8;
        unsigned char stream[8];
        oracleEncipherBlock(key, last, stream);
        for (size_t i = whole; i < in.size(); ++i) out[i] ^= stream[i - whole];
    }
    return out;
}

}  // namespace testdes
