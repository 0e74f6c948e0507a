// see des_bitslice.h: the portable paths and the choice of the widest.
#include "crypto/des_bitslice.h"

#include "common/cpufeatures.h"
#include "crypto/des_bitslice_core.h"

#if defined(KORPROXY_DES_AVX2)
// Built in des_bitslice_avx2.cpp, with the 256-bit instructions allowed in that file alone.
DesSlicePath desSliceAvx2();
#endif

namespace {
// Two 64-bit lanes: the compiler maps them onto the base vector unit (SSE2 on x86-64, NEON on
// AArch64) or onto pairs of plain words.
typedef uint64_t Slice128 __attribute__((vector_size(16)));
}  // namespace

DesSlicePath desSlicePortable() {
    return {64, sliceDecipher<uint64_t>};
}

DesSlicePath desSliceBase() {
#if defined(__SSE2__) || defined(__ARM_NEON)
    return {128, sliceDecipher<Slice128>};
#else
    return desSlicePortable();  // pairs of plain words would gain nothing over single ones
#endif
}

DesSlicePath desSliceWidest() {
#if defined(KORPROXY_DES_AVX2)
    if (cpuHasAvx2()) return desSliceAvx2();
#endif
    return desSliceBase();
}
