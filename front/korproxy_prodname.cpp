// see korproxy_prodname.h
#include "front/korproxy_prodname.h"

#include <cstring>

#include "common/textcopy.h"

char productName[kProductTextSize];
char productVersion[kProductTextSize];

namespace {

bool startsWith(const char* text, const char* prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

// A name or version line: the text after its first "=", unchanged, or the default without one.
void takeValue(char (&dst)[kProductTextSize], const char* line, const char* fallback) {
    const char* eq = strchr(line, '=');
    copyTextCut(dst, eq != nullptr ? eq + 1 : fallback);
}

}  // namespace

void readLine(FILE* stream, char* buffer, size_t size) {
    size_t used = 0;
    for (int c = getc(stream); c != EOF && c != '\n'; c = getc(stream)) {
        if (c == '\r') continue;
        // Past the buffer the line is cut, but still read to its end so that the next call starts
        // at the next line.
        if (used + 1 < size) buffer[used++] = static_cast<char>(c);
    }
    if (size > 0) buffer[used] = '\0';
}

void readProductNameFileAt(const char* path) {
    productName[0] = '\0';
    productVersion[0] = '\0';
    // As bytes: the file reaches the page as it lies, on Windows too (no line-end translation
    // there, and no end at a Ctrl-Z).
    FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        copyTextCut(productName, kDefaultProductName);
        copyTextCut(productVersion, kDefaultProductVersion);
        return;
    }
    char line[kProductLineSize];
    while (moreLines(file)) {
        readLine(file, line, sizeof line);
        if (line[0] == '#') continue;
        if (startsWith(line, "product.name")) {
            takeValue(productName, line, kDefaultProductName);
        } else if (startsWith(line, "product.ver")) {
            takeValue(productVersion, line, kDefaultProductVersion);
        }
    }
    fclose(file);
}

void readProductNameFile() {
    readProductNameFileAt(kProductNameFile);
}
