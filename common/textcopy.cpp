// see textcopy.h
#include "common/textcopy.h"

#include <cstring>

bool copyTextFits(char* dst, size_t size, std::string_view src) {
    if (size == 0 || src.size() >= size) return false;
    memcpy(dst, src.data(), src.size());
    dst[src.size()] = '\0';
    return true;
}

size_t copyTextCut(char* dst, size_t size, std::string_view src) {
    if (size == 0) return 0;
    size_t n = src.size() < size - 1 ? src.size() : size - 1;
    memcpy(dst, src.data(), n);
    dst[n] = '\0';
    return n;
}

bool appendTextFits(char* dst, size_t size, std::string_view src) {
    size_t used = strnlen(dst, size);
    if (used >= size) return false;  // no terminator: refuse rather than run past the buffer
    if (src.size() >= size - used) return false;
    memcpy(dst + used, src.data(), src.size());
    dst[used + src.size()] = '\0';
    return true;
}

bool hasControlCharacter(std::string_view text) {
    for (char c : text) {
        if (isControlCharacter(c)) return true;
    }
    return false;
}

std::string escapeControls(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (!isControlCharacter(c)) {
            out += c;
            continue;
        }
        auto byte = static_cast<unsigned char>(c);
        out += "\\x";
        out += kHex[byte >> 4];
        out += kHex[byte & 15];
    }
    return out;
}
