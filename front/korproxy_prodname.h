// The product name file and the line reader shared by every text file the proxy reads.
//
// Owns `productName` and `productVersion`, which live for the whole process. Never traces: the
// product file is read before a trace can be open.
#pragma once

#include <cstddef>
#include <cstdio>

#include "common/limits.h"

// The file read at start-up from the working directory.
inline constexpr const char kProductNameFile[] = "prodname.txt";
// What the texts become when the file is missing, or a name or version line holds no "=".
inline constexpr const char kDefaultProductName[] = "korproxy";
inline constexpr const char kDefaultProductVersion[] = "1.0";
// A product file line: at most 255 characters are kept.
inline constexpr size_t kProductLineSize = kProductTextSize;

// The product name and version printed on the error page and in the relay's Proxy header line.
extern char productName[kProductTextSize];
extern char productVersion[kProductTextSize];

// Reads kProductNameFile from the working directory into the two texts.
void readProductNameFile();
// The same from any path; both texts are emptied first.
void readProductNameFileAt(const char* path);

// Reads the next line of `stream` into `buffer` (`size` >= 1 bytes): the newline is not stored,
// carriage returns are dropped, and the text is always terminated. A line longer than size - 1
// characters is cut: the rest of it is read and dropped, so it never turns into a line of its own.
void readLine(FILE* stream, char* buffer, size_t size);

// The loop condition of every reader that uses readLine: true until a read has reached the end of
// the stream (so a last line ending in a newline yields one more, empty, line) or has failed.
[[nodiscard]] inline bool moreLines(FILE* stream) {
    return feof(stream) == 0 && ferror(stream) == 0;
}
