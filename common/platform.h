// The few services the program takes from the operating system beyond the C and C++ libraries:
// unpredictable bytes for key material, a wipe of secrets that the compiler may not leave out,
// and the creation of a file that only its owner can read.
//
// Owns the declarations only; each platform defines them in one file of its own
// (platform_posix.cpp here). Never holds state and never traces: callers decide what a failure
// means.
#pragma once

#include <cstddef>
#include <cstdio>

// Fills `len` bytes of `buf` from the operating system's secure generator. Returns 0, or -1 when
// the generator fails (then `buf` holds nothing usable).
[[nodiscard]] int osRandomBytes(void* buf, size_t len);

// Overwrites `len` bytes of `buf` with zeros, even when the buffer is never read again.
void osWipe(void* buf, size_t len);

// Opens `path` for appending; a file that does not exist yet is created readable and writable by
// its owner alone. Returns the stream, or null when the file cannot be opened.
[[nodiscard]] FILE* osOpenPrivateAppend(const char* path);
