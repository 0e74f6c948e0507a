// The fixed key and IV, key derivation from a text, and the random block.
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "common/byteorder.h"
#include "common/platform.h"
#include "crypto/des.h"

namespace {

// Every peer of the program uses these same values.
constexpr uint32_t kFixedKeyHigh = 0x3A915CE7;
constexpr uint32_t kFixedKeyLow = 0x0D62B41F;
constexpr uint32_t kFixedIvHigh = 0x6B1DC24E;
constexpr uint32_t kFixedIvLow = 0x9738F055;

std::array<unsigned char, kDesBlockSize> bytesOf(uint32_t high, uint32_t low) {
    std::array<unsigned char, kDesBlockSize> bytes{};
    putU32BE(bytes.data(), high);
    putU32BE(bytes.data() + 4, low);
    return bytes;
}

}  // namespace

const unsigned char* desFixedIv() {
    static const std::array<unsigned char, kDesBlockSize> iv = bytesOf(kFixedIvHigh, kFixedIvLow);
    return iv.data();
}

void desFixedKeyWords(uint32_t out[2]) {
    const auto bytes = bytesOf(kFixedKeyHigh, kFixedKeyLow);
    std::memcpy(out, bytes.data(), bytes.size());
}

int desDeriveKey(const unsigned char* text, int32_t length, unsigned char out[8]) {
    if (length < 1) return -1;  // no value is defined for an empty text
    const uint32_t padded = (static_cast<uint32_t>(length) + 7) / 8 * 8;
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[padded]);
    if (!buffer) return -1;
    std::memset(buffer.get(), 0, padded);
    std::memcpy(buffer.get(), text, static_cast<uint32_t>(length));
    uint32_t key[2];
    desFixedKeyWords(key);
    DesKeySchedule* schedule = nullptr;
    int rc = desAllocKey(key, &schedule);
    if (rc == 0) {
        desCbc(schedule, DES_ENCIPHER, desFixedIv(), buffer.get(), padded);
        desFreeKey(schedule);
        std::memcpy(out, buffer.get() + padded - kDesBlockSize, kDesBlockSize);
    }
    // The buffer held the text (a password) and then the key derived from it.
    osWipe(buffer.get(), padded);
    return rc;
}

int desRandomBlock(unsigned char out[8]) {
    // Session keys and challenges must not be guessable by a peer or an onlooker, so they come
    // from the operating system's generator and nothing of the program's own.
    unsigned char block[kDesBlockSize];
    if (osRandomBytes(block, sizeof block) != 0) return -1;
    std::memcpy(out, block, sizeof block);
    osWipe(block, sizeof block);
    return 0;
}
