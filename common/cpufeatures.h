// What the processor offers beyond the base instruction set, for the few loops that pick wider
// lanes at run time.
//
// Owns the one question asked of the processor; never changes what is compiled, and costs nothing
// at start-up where the C library has already asked.
#pragma once

// True when the processor and the system run AVX2 (256-bit integer lanes) and the program may use
// them (never on Windows).
[[nodiscard]] bool cpuHasAvx2();
