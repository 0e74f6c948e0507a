// Bounded text copies into fixed character arrays: the only way text enters a fixed buffer; and the
// control characters that no stored option text may hold and no line for the administrator shows
// as they are.
//
// Owns nothing. Never writes past `size` bytes of the destination and always leaves a terminator
// when `size` is at least 1. strcpy, strcat and sprintf are not used anywhere in the program.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Copies `src` into `dst` only when it fits with its terminator. Returns true when copied; on false
// `dst` is left exactly as it was.
[[nodiscard]] bool copyTextFits(char* dst, size_t size, std::string_view src);

// Copies as much of `src` as fits, cutting the rest, and terminates. Returns the length written.
size_t copyTextCut(char* dst, size_t size, std::string_view src);

// Appends `src` after the text already in `dst` when the whole of it fits. Returns true when
// appended; on false `dst` is unchanged.
[[nodiscard]] bool appendTextFits(char* dst, size_t size, std::string_view src);

// Array forms that take the size from the array itself.
template <size_t N>
[[nodiscard]] bool copyTextFits(char (&dst)[N], std::string_view src) {
    return copyTextFits(dst, N, src);
}
template <size_t N>
size_t copyTextCut(char (&dst)[N], std::string_view src) {
    return copyTextCut(dst, N, src);
}

// Bytes 0 to 31 and 127: a line feed or a carriage return among them would start a line of its own
// in a trace or a log, and the others can rewrite a console.
[[nodiscard]] constexpr bool isControlCharacter(char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == '\x7f';
}
[[nodiscard]] bool hasControlCharacter(std::string_view text);
// `text` with each control character written as \xNN (two upper-case hexadecimal digits).
[[nodiscard]] std::string escapeControls(std::string_view text);
