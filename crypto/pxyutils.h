// ASCII to EBCDIC conversion of texts sent to a server that works in EBCDIC.
//
// Owns the conversion table. Converts in place; never touches bytes past `length`.
#pragma once

#include <cstdint>

// Converts the first `length` bytes of `bytes` in place; a length of 0 or less changes nothing.
void convertAsciiToEbcdic(char* bytes, int32_t length);
