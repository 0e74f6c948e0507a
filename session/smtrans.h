// The verb: the framed message of the session set-up exchanges, with its header forms, the verb
// codes, and the send and receive paths over the session's transport operations. A received verb
// lands in the session's staging buffer, which grows on demand up to kMaxVerbLength.
//
// Owns the framing rules only; the staging buffer belongs to the descriptor (smsess.h). Never
// builds outgoing verbs in the staging buffer and never allocates for a verb it refuses.
#pragma once

#include <cstdint>

#include "session/smsess.h"

inline constexpr unsigned char VERB_MAGIC = 0xA5;
inline constexpr unsigned char VERB_EXTENDED = 8;
inline constexpr unsigned char VERB_IDENTIFY = 0x1D;
inline constexpr unsigned char VERB_ENDSESSION = 0x14;
inline constexpr unsigned char VERB_PROXYSESS = 0x5E;
inline constexpr unsigned char VERB_AUTH = 0x16;
inline constexpr unsigned char VERB_AUTHRESULT = 0x11;

inline constexpr uint32_t kVerbHeaderSize = 4;
inline constexpr uint32_t kVerbExtHeaderSize = 12;
// The staging buffer grows to the needed length plus this, or by at least kVerbGrowthStep.
inline constexpr int32_t kVerbGrowthSlack = 8;
inline constexpr int32_t kVerbGrowthStep = 256;

// Writes the magic byte into `verb`, then hands its length bytes to the connection and flushes.
// Returns 0, or -1 when the session has ended or the send failed (end reason 1).
[[nodiscard]] int smSendVerb(SessionDesc* session, unsigned char* verb);

// Reads one whole verb into the staging buffer. Returns the buffer, valid until the next receive,
// or null: the session had ended, a read failed (reason 1), the magic byte is wrong or the verb is
// longer than kMaxVerbLength (ended, reason 5), or the buffer could not grow (ended, reason 6).
[[nodiscard]] unsigned char* smRecvVerb(SessionDesc* session);

// Replaces the staging buffer by one of at least `needed` bytes; the old contents are not kept.
// Returns 0, or -1 with the old buffer untouched.
[[nodiscard]] int smExtendStaging(SessionDesc* session, uint32_t needed);

// The total length a verb header announces (its extended length for the extended form).
[[nodiscard]] uint32_t smVerbLength(const unsigned char* verb);
