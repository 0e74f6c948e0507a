// see simanswer.h
#include "sim/simanswer.h"

#include "common/byteorder.h"
#include "sim/simwire.h"

namespace {

constexpr const char* kAnswerNames[kAnswerCount] = {"identify", "proxy",    "auth",
                                                    "final",    "response", "page"};
// The magic byte a spoiled verb carries: every bit of the right one flipped.
constexpr unsigned char kSpoiledMagic = 0x5A;

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

bool answerIsVerb(Answer answer) {
    return answer == Answer::identify || answer == Answer::proxy || answer == Answer::auth ||
           answer == Answer::final;
}

Sent sendVerbAnswer(int fd, Answer answer, const AnswerFaults& faults,
                    std::vector<unsigned char> verb) {
    const AnswerShape& shape = faults.of(answer);
    if (shape.silent) return Sent::withheld;
    if (shape.shortened && verb.size() > kVerbHeader) {
        // Still a well-framed verb, only too short for the fields the client reads from it.
        size_t half = verb.size() / 2 < kVerbHeader ? kVerbHeader : verb.size() / 2;
        verb.resize(half);
        putU16BE(verb.data(), static_cast<uint16_t>(half));
    }
    if (shape.badMagic) verb[3] = kSpoiledMagic;
    return wireWriteAll(fd, verb.data(), verb.size()) ? Sent::whole : Sent::failed;
}

Sent sendStreamAnswer(int fd, Answer answer, const AnswerFaults& faults, const unsigned char* bytes,
                      size_t count) {
    const AnswerShape& shape = faults.of(answer);
    if (shape.silent) return Sent::withheld;
    size_t keep = shape.shortened ? count / 2 : count;
    if (!wireWriteAll(fd, bytes, keep)) return Sent::failed;
    return shape.shortened ? Sent::cut : Sent::whole;
}
