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
