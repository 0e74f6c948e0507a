// What every fuzz target shares: the trace switched on into /dev/null (so that every trace line is
// formatted from hostile data), standard output sent to /dev/null (the pages the code writes), and
// the fuzzer's bytes turned into the C texts the program receives.
//
// Owns nothing beyond one run of a target. Never lets a target pass by saying nothing: a broken
// promise aborts, which libFuzzer records as a crash with its input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/trace.h"

// Aborts with a message when a promise of the code under test does not hold.
#define FUZZ_CHECK(condition) ((condition) ? (void)0 : fuzzBroken(__FILE__, __LINE__, #condition))
[[noreturn]] inline void fuzzBroken(const char* file, int line, const char* promise) {
    fprintf(stderr, "%s:%d: promise broken: %s\n", file, line, promise);
    abort();
}

// Before every input: trace and standard output into /dev/null (the trace to standard error when
// FUZZ_TRACE is set, for reading what a saved input does). The trace is opened again when
// the code under test has closed it.
inline void fuzzQuietStart() {
    static bool started = false;
    if (traceFp == nullptr)
        traceFp = getenv("FUZZ_TRACE") != nullptr ? stderr : fopen("/dev/null", "a");
    if (started) return;
    started = true;
    if (freopen("/dev/null", "w", stdout) == nullptr) abort();
}

// The bytes as a C text from the C allocator, cut at the first zero byte, as a request text
// arrives through the environment. The caller frees it.
inline char* fuzzCText(const unsigned char* data, size_t size) {
    size_t length = strnlen(reinterpret_cast<const char*>(data), size);
    auto* text = static_cast<char*>(malloc(length + 1));
    if (text == nullptr) abort();
    memcpy(text, data, length);
    text[length] = '\0';
    return text;
}
