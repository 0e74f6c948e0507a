// see simanswer.h
#include "sim/simanswer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>
#include <string>

#include "common/byteorder.h"
#include "sim/simwire.h"

namespace {

constexpr const char* kAnswerNames[kAnswerCount] = {"identify", "proxy",    "auth",
                                                    "final",    "response", "page"};
// The magic byte a spoiled verb carries: every bit of the right one flipped.
constexpr unsigned char kSpoiledMagic = 0x5A;

constexpr const char* kHostileNames[kHostileCount] = {
    "none", "random", "truncated", "absurd-length", "one-byte", "short-page", "stall"};

void fillRandom(unsigned char* bytes, size_t count) {
    std::random_device seed;
    std::mt19937 generator(seed());
    std::uniform_int_distribution<int> byte(0, 255);
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<unsigned char>(byte(generator));
}

// One write per byte with Nagle's delay off, paused so that each byte travels on its own.
bool writeOneByOne(int fd, const unsigned char* bytes, size_t count) {
    int on = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    for (size_t i = 0; i < count; ++i) {
        if (!wireWriteAll(fd, bytes + i, 1)) return false;
        usleep(kOneBytePauseMicros);
    }
    return true;
}

// The verb in the extended form, its 32-bit length absurd, its body as it was.
std::vector<unsigned char> absurdVerb(const std::vector<unsigned char>& verb) {
    std::vector<unsigned char> out(kVerbExtendedHeader, 0);
    putU16BE(out.data(), static_cast<uint16_t>(verb.size()));
    out[2] = kVerbExtended;
    out[3] = verb[3];
    putU32BE(out.data() + 4, verb[2]);
    putU32BE(out.data() + 8, kAbsurdVerbLength);
    out.insert(out.end(), verb.begin() + kVerbHeader, verb.end());
    return out;
}

// "NAME N" plus its zero byte with N replaced by `amount`.
std::string lineWithAmount(const unsigned char* bytes, size_t count, uint64_t amount) {
    std::string line(reinterpret_cast<const char*>(bytes), count > 0 ? count - 1 : 0);
    size_t blank = line.find(' ');
    return line.substr(0, blank) + " " + std::to_string(amount) + std::string(1, '\0');
}

uint64_t amountOf(const unsigned char* bytes, size_t count) {
    std::string line(reinterpret_cast<const char*>(bytes), count > 0 ? count - 1 : 0);
    size_t blank = line.find(' ');
    return blank == std::string::npos ? 0 : std::stoull(line.substr(blank + 1));
}

// The hostile shapes, for verbs and streams alike; `bytes` may be rewritten.
Sent sendHostile(int fd, Answer answer, Hostile mode, std::vector<unsigned char> bytes) {
    const size_t half = bytes.size() / 2;
    switch (mode) {
        case Hostile::kNone:
            break;
        case Hostile::kRandom:
            fillRandom(bytes.data(), bytes.size());
            return wireWriteAll(fd, bytes.data(), bytes.size()) ? Sent::kCut : Sent::kFailed;
        case Hostile::kTruncated:
            return wireWriteAll(fd, bytes.data(), half) ? Sent::kCut : Sent::kFailed;
        case Hostile::kAbsurdLength:
            if (answerIsVerb(answer)) {
                bytes = absurdVerb(bytes);
            } else if (answer == Answer::kResponse) {
                std::string line = lineWithAmount(bytes.data(), bytes.size(), kAbsurdPageLength);
                bytes.assign(line.begin(), line.end());
            }
            break;
        case Hostile::kOneByte:
            return writeOneByOne(fd, bytes.data(), bytes.size()) ? Sent::kWhole : Sent::kFailed;
        case Hostile::kShortPage:
            if (answer == Answer::kResponse) {
                uint64_t amount = amountOf(bytes.data(), bytes.size());
                std::string line =
                    lineWithAmount(bytes.data(), bytes.size(), amount + kShortPageMissing);
                bytes.assign(line.begin(), line.end());
                break;
            }
            return wireWriteAll(fd, bytes.data(), bytes.size()) ? Sent::kCut : Sent::kFailed;
        case Hostile::kStall:
            return wireWriteAll(fd, bytes.data(), half) ? Sent::kWithheld : Sent::kFailed;
    }
    return wireWriteAll(fd, bytes.data(), bytes.size()) ? Sent::kWhole : Sent::kFailed;
}

}  // namespace

const char* answerName(Answer answer) {
    int i = static_cast<int>(answer);
    return i >= 0 && i < kAnswerCount ? kAnswerNames[i] : nullptr;
}

bool answerFromName(std::string_view name, Answer* out) {
    for (int i = 0; i < kAnswerCount; ++i) {
        if (name == kAnswerNames[i]) {
            *out = static_cast<Answer>(i);
            return true;
        }
    }
    return false;
}

const char* hostileName(Hostile mode) {
    int i = static_cast<int>(mode);
    return i >= 0 && i < kHostileCount ? kHostileNames[i] : nullptr;
}

bool hostileFromName(std::string_view name, Hostile* out) {
    for (int i = 1; i < kHostileCount; ++i) {
        if (name == kHostileNames[i]) {
            *out = static_cast<Hostile>(i);
            return true;
        }
    }
    return false;
}

bool answerIsVerb(Answer answer) {
    return answer == Answer::kIdentify || answer == Answer::kProxy || answer == Answer::kAuth ||
           answer == Answer::kFinal;
}

Sent sendVerbAnswer(int fd, Answer answer, const AnswerFaults& faults,
                    std::vector<unsigned char> verb) {
    const AnswerShape& shape = faults.of(answer);
    if (shape.silent) return Sent::kWithheld;
    if (shape.hostile != Hostile::kNone)
        return sendHostile(fd, answer, shape.hostile, std::move(verb));
    if (shape.shortened && verb.size() > kVerbHeader) {
        // Still a well-framed verb, only too short for the fields the client reads from it.
        size_t half = verb.size() / 2 < kVerbHeader ? kVerbHeader : verb.size() / 2;
        verb.resize(half);
        putU16BE(verb.data(), static_cast<uint16_t>(half));
    }
    if (shape.badMagic) verb[3] = kSpoiledMagic;
    return wireWriteAll(fd, verb.data(), verb.size()) ? Sent::kWhole : Sent::kFailed;
}

Sent sendStreamAnswer(int fd, Answer answer, const AnswerFaults& faults, const unsigned char* bytes,
                      size_t count) {
    const AnswerShape& shape = faults.of(answer);
    if (shape.silent) return Sent::kWithheld;
    if (shape.hostile != Hostile::kNone) {
        return sendHostile(fd, answer, shape.hostile,
                           std::vector<unsigned char>(bytes, bytes + count));
    }
    size_t keep = shape.shortened ? count / 2 : count;
    if (!wireWriteAll(fd, bytes, keep)) return Sent::kFailed;
    return shape.shortened ? Sent::kCut : Sent::kWhole;
}
