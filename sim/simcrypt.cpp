// see simcrypt.h
#include "sim/simcrypt.h"

#include <cstdint>
#include <cstring>
#include <random>

#include "common/platform.h"
#include "crypto/des.h"
#include "crypto/pxyutils.h"

std::string simEbcdic(const std::string& text) {
    std::string converted = text;
    convertAsciiToEbcdic(converted.data(), static_cast<int32_t>(converted.size()));
    return converted;
}

bool simPasswordKey(const std::string& password, bool ebcdic, unsigned char out[kDesKeyBytes]) {
    std::string text = password;
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    if (ebcdic) convertAsciiToEbcdic(text.data(), static_cast<int32_t>(text.size()));
    int rc = desDeriveKey(reinterpret_cast<const unsigned char*>(text.data()),
                          static_cast<int32_t>(text.size()), out);
    osWipe(text.data(), text.size());
    return rc == 0;
}

bool simCbc(const unsigned char key[kDesKeyBytes], int direction, unsigned char* bytes,
            size_t count) {
    uint32_t words[2];
    std::memcpy(words, key, sizeof words);
    DesKeySchedule* schedule = nullptr;
    int rc = desAllocKey(words, &schedule);
    osWipe(words, sizeof words);
    if (rc != 0) return false;
    // desCbc takes a 32-bit length; pages are bounded far below that by the site.
    desCbc(schedule, direction, desFixedIv(), bytes, static_cast<uint32_t>(count));
    desFreeKey(schedule);
    return true;
}

void simChallenge(unsigned char out[kDesKeyBytes]) {
    std::random_device source;
    for (size_t i = 0; i < kDesKeyBytes; i += 4) {
        uint32_t word = source();
        std::memcpy(out + i, &word, 4);
    }
}
