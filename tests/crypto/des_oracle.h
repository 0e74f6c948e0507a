// Test helpers: an independent DES from libcrypto, and a schedule of the cipher under test.
#pragma once

#include <openssl/des.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "crypto/des.h"

namespace testdes {

using Bytes = std::vector<unsigned char>;

// Owns one schedule of the cipher under test.
struct Schedule {
    DesKeySchedule* s = nullptr;
    explicit Schedule(const unsigned char key[8]) {
        uint32_t words[2];
        std::memcpy(words, key, 8);
        if (desAllocKey(words, &s) != 0) s = nullptr;
    }
    ~Schedule() { desFreeKey(s); }
    Schedule(const Schedule&) = delete;
    Schedule& operator=(const Schedule&) = delete;
};

// CBC with the tail rule, built from libcrypto's CBC on the whole blocks and its single-block E()
// for the tail: the tail's stream is E(last ciphertext block), or E(IV) with no whole block.
inline Bytes oracleCbc(const unsigned char key[8], bool decipher, const unsigned char iv[8],
                       const Bytes& in) {
    DES_cblock k, chain, last, stream;
    std::memcpy(k, key, 8);
    DES_key_schedule ks;
    DES_set_key_unchecked(&k, &ks);
    Bytes out = in;
    const size_t whole = in.size() / 8 * 8;
    std::memcpy(chain, iv, 8);
    if (whole > 0) {
        DES_ncbc_encrypt(in.data(), out.data(), static_cast<long>(whole), &ks, &chain,
                         decipher ? DES_DECRYPT : DES_ENCRYPT);
    }
    std::memcpy(last, whole == 0 ? iv : (decipher ? in : out).data() + whole - 8, 8);
    DES_ecb_encrypt(&last, &stream, &ks, DES_ENCRYPT);
    for (size_t i = whole; i < in.size(); ++i) out[i] ^= stream[i - whole];
    return out;
}

}  // namespace testdes
