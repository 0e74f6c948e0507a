// The server's return codes: the table of their symbolic names and the reading of a response line.
//
// Owns the 28-row return-code table. Reads and cuts the caller's line in place; never writes past
// its terminator, never allocates, never traces.
#pragma once

#include <cstdint>

// One row of the return-code table.
struct RcEntry {
    int32_t code;
    const char* name;      // as the server sends it
    const char* severity;  // "OK", "WARNING" or "ERROR"; not consulted by the lookup
};

inline constexpr int kRcTableRows = 28;

// The table, searched from the first row to the last.
extern const RcEntry rcTable[kRcTableRows];

// The result for a first word that begins with no name of the table. It is neither 0 nor any code
// of the table, nor -1 (the local failure of the session layer).
inline constexpr int32_t kRcUnrecognized = -99;

// The name of `code` as the table gives it (the first row with that code), "RC_UNRECOGNIZED" for
// a word the table does not hold, and null for any other number.
[[nodiscard]] const char* smRcName(int32_t code);

// Reads a response line "NAME amount": cuts `line` at its first blank and returns the code of the
// first row whose name begins the line, or kRcUnrecognized. When the line has a blank, `amount`
// receives the number behind it (white space skipped, optional sign, digits; no digits give 0; a
// minus sign negates modulo 2^32 and a number beyond 32 bits gives 0xFFFFFFFF, so callers bound
// it); without a blank, `amount` is left as it was.
[[nodiscard]] int32_t smParseRc(char* line, uint32_t* amount);
