// see des_bitslice.h: the 256-bit path, four 64-bit lanes per word. This file alone is compiled
// with AVX2 allowed (crypto/CMakeLists.txt); it is called only where the processor runs AVX2.
#include "crypto/des_bitslice.h"

#if defined(KORPROXY_DES_AVX2)
#include "crypto/des_bitslice_core.h"

namespace {
typedef uint64_t Slice256 __attribute__((vector_size(32)));
}  // namespace

DesSlicePath desSliceAvx2() {
    return {256, sliceDecipher<Slice256>};
}
#endif
