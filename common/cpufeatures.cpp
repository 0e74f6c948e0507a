// see cpufeatures.h
#include "common/cpufeatures.h"

#if defined(__GNUC__) && defined(__x86_64__) && __has_include(<sys/platform/x86.h>)
// The C library's loader has read the processor's features before the program starts.
// The header is C: its functions return the C keyword _Bool, which clang's C++ does not take.
#define _Bool bool
#include <sys/platform/x86.h>
#undef _Bool

bool cpuHasAvx2() {
    return CPU_FEATURE_ACTIVE(AVX2);
}
#elif defined(__GNUC__) && defined(__x86_64__) && !defined(_WIN32)
bool cpuHasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#else
// Elsewhere, and on Windows, where the compiler cannot keep 256-bit values on the stack aligned,
// nothing is taken beyond the base instruction set.
bool cpuHasAvx2() {
    return false;
}
#endif
