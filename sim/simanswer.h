// The answer writer: the one way the simulator's bytes reach a client, shaped per answer.
//
// Owns the list of answers the simulator gives (one per protocol step) and the shape each one is
// sent in: whole, cut short, withheld, or with a spoiled magic byte. Every answer a session sends
// goes through sendVerbAnswer or sendStreamAnswer, so a new way of misbehaving (1-byte pieces,
// random bytes, a stall, an absurd length) is one more field in AnswerShape and one more branch in
// simanswer.cpp; the dialogue in simsess.cpp never changes for it. Never reads from the client.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

// The simulator's answers in the order a session meets them.
enum class Answer : int {
    kIdentify = 0,  // the answer to the Identify verb
    kProxy = 1,     // the answer to the proxy-session request
    kAuth = 2,      // authentication message 2
    kFinal = 3,     // authentication message 4
    kResponse = 4,  // the plain response line after a command
    kPage = 5,      // the enciphered page bytes
};
inline constexpr int kAnswerCount = 6;

// Names as the command line spells them ("identify", "proxy", ...); null for a value out of range.
[[nodiscard]] const char* answerName(Answer answer);
// Finds an answer by its command-line name. Returns false when the name is unknown.
[[nodiscard]] bool answerFromName(std::string_view name, Answer* out);
// True for the answers that travel as verbs (identify, proxy, auth, final).
[[nodiscard]] bool answerIsVerb(Answer answer);

// A server that misbehaves on purpose; each mode spoils the answers it is set on.
enum class Hostile : int {
    kNone = 0,
    kRandom = 1,        // the answer's bytes replaced by random ones; the connection closed after
    kTruncated = 2,     // the first half of the answer sent as it is; the connection closed after
    kAbsurdLength = 3,  // a verb in the extended form announcing 0xFFFFFFF0 bytes, or a response
                        // line announcing kAbsurdPageLength page bytes; the connection stays open
    kOneByte = 4,       // the answer sent whole, one byte per write, kOneBytePauseMicros apart
    kShortPage = 5,     // the response line announces kShortPageMissing more bytes than the page
                        // holds; the page is sent whole and the connection closed after it
    kStall = 6,         // the first half of the answer sent, then nothing until the client leaves
};
inline constexpr int kHostileCount = 7;
inline constexpr uint32_t kAbsurdVerbLength = 0xFFFFFFF0u;
inline constexpr uint64_t kAbsurdPageLength = 4000000000u;
inline constexpr uint64_t kShortPageMissing = 1000;
inline constexpr unsigned kOneBytePauseMicros = 50;

// Names as --hostile spells them ("random", "absurd-length", ...); null for a value out of range.
[[nodiscard]] const char* hostileName(Hostile mode);
// Finds a mode by its command-line name. Returns false when the name is unknown (or "none").
[[nodiscard]] bool hostileFromName(std::string_view name, Hostile* out);

// How one answer leaves the simulator.
struct AnswerShape {
    // A verb is re-framed at half its length (its length field agrees, its fields are missing); a
    // response line or page is cut at half its length and the connection is closed after it.
    bool shortened = false;
    // Nothing is sent; the session then waits for the client to give up.
    bool silent = false;
    // Verbs only: the magic byte is sent as 0x5A instead of 0xA5.
    bool badMagic = false;
    // The way a hostile server spoils this answer; takes the place of the three above.
    Hostile hostile = Hostile::kNone;
};

struct AnswerFaults {
    AnswerShape shapes[kAnswerCount];
    const AnswerShape& of(Answer answer) const { return shapes[static_cast<int>(answer)]; }
    AnswerShape& of(Answer answer) { return shapes[static_cast<int>(answer)]; }
};

// What became of an answer.
enum class Sent : int {
    kWhole = 0,     // sent as the shape asked; the dialogue goes on
    kWithheld = 1,  // the shape said silent: nothing sent; the caller waits for the client to leave
    kCut = 2,       // sent shortened where the shape requires closing afterwards
    kFailed = 3,    // the socket failed; the connection is finished
};

// Sends a complete verb (header at offset 0, its length field filled) in the shape for `answer`.
[[nodiscard]] Sent sendVerbAnswer(int fd, Answer answer, const AnswerFaults& faults,
                                  std::vector<unsigned char> verb);
// Sends bytes that travel without framing (the response line, the page) in the shape for `answer`.
[[nodiscard]] Sent sendStreamAnswer(int fd, Answer answer, const AnswerFaults& faults,
                                    const unsigned char* bytes, size_t count);
