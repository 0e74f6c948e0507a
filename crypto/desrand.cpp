// The fixed key and IV, key derivation from a text, and the random block from the clock.
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "common/byteorder.h"
#include "crypto/des.h"

namespace {

// Every peer of the program uses these same values.
constexpr uint32_t kFixedKeyHigh = 0x3A915CE7;
constexpr uint32_t kFixedKeyLow = 0x0D62B41F;
constexpr uint32_t kFixedIvHigh = 0x6B1DC24E;
constexpr uint32_t kFixedIvLow = 0x9738F055;

constexpr int32_t kRandMultiplier = 16807;
constexpr int32_t kRandModulus = 2147483647;
constexpr int kRandMaxSkip = 1000;
constexpr int kRandomWords = 12;
constexpr int kRandomBytes = kRandomWords * 4;

std::atomic<DesClock> clockSeam{nullptr};

std::array<unsigned char, kDesBlockSize> bytesOf(uint32_t high, uint32_t low) {
    std::array<unsigned char, kDesBlockSize> bytes{};
    putU32BE(bytes.data(), high);
    putU32BE(bytes.data() + 4, low);
    return bytes;
}

int32_t magnitude(int32_t v) {
    return v < 0 ? -v : v;
}  // |v| < 2^31 - 1 for generator values

}  // namespace

const unsigned char* desFixedIv() {
    static const std::array<unsigned char, kDesBlockSize> iv = bytesOf(kFixedIvHigh, kFixedIvLow);
    return iv.data();
}

void desFixedKeyWords(uint32_t out[2]) {
    const auto bytes = bytesOf(kFixedKeyHigh, kFixedKeyLow);
    std::memcpy(out, bytes.data(), bytes.size());
}

void desSetClock(DesClock clock) {
    clockSeam.store(clock);
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
    if (desAllocKey(key, &schedule) != 0) return -1;
    desCbc(schedule, DES_ENCIPHER, desFixedIv(), buffer.get(), padded);
    desFreeKey(schedule);
    std::memcpy(out, buffer.get() + padded - kDesBlockSize, kDesBlockSize);
    return 0;
}

int32_t randNext(int32_t* state) {
    // The product wraps in 32 bits, as every peer computes it.
    const auto product = static_cast<int32_t>(static_cast<uint32_t>(*state) *
                                              static_cast<uint32_t>(kRandMultiplier));
    *state = product % kRandModulus;
    return *state;
}

int desRandomBlock(unsigned char out[8]) {
    const DesClock clock = clockSeam.load();
    const time_t now = clock != nullptr ? clock() : time(nullptr);
    auto state = static_cast<int32_t>(static_cast<uint32_t>(now));
    const int skip = magnitude(randNext(&state)) % kRandMaxSkip + 1;
    for (int i = 0; i < skip; ++i) (void)randNext(&state);
    unsigned char buffer[kRandomBytes];
    for (int i = 0; i < kRandomWords; ++i) {
        auto word = static_cast<uint32_t>(magnitude(randNext(&state)));
        for (int b = 0; b < 4; ++b, word >>= 8)
            buffer[4 * i + b] = static_cast<unsigned char>(word);
    }
    uint32_t key[2];
    desFixedKeyWords(key);
    DesKeySchedule* schedule = nullptr;
    if (desAllocKey(key, &schedule) != 0) return -1;
    desCbc(schedule, DES_ENCIPHER, desFixedIv(), buffer, kRandomBytes);
    desFreeKey(schedule);
    std::memcpy(out, buffer + kRandomBytes - kDesBlockSize, kDesBlockSize);
    return 0;
}
