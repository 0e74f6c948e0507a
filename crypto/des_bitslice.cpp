// see des_bitslice.h: the portable 64-bit path and the choice of the widest.
#include "crypto/des_bitslice.h"

#include "common/cpufeatures.h"
#include "crypto/des_bitslice_core.h"

#if defined(KORPROXY_DES_AVX2)
// Built in des_bitslice_avx2.cpp, with the 256-bit instructions allowed in that file alone.
DesSlicePath desSliceAvx2();
#endif

DesSlicePath desSlicePortable() {
    return {64, sliceDecipher<uint64_t>};
}

DesSlicePath desSliceWidest() {
#if defined(KORPROXY_DES_AVX2)
    if (cpuHasAvx2()) return desSliceAvx2();
#endif
    return desSlicePortable();
}
