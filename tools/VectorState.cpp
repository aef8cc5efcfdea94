#include "zelstats/tools/VectorState.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace zel {

#if defined(__x86_64__) || defined(__i386__)

namespace {

// Compiled for AVX on its own, so the package as a whole still runs on any x86-64 processor;
// it is called only where the processor has AVX.
__attribute__((target("avx"))) void ZeroUpper() { _mm256_zeroupper(); }

} // namespace

void ClearUpperVectorState()
{
    static const bool hasAvx = __builtin_cpu_supports("avx");
    if (hasAvx)
        ZeroUpper();
}

#else

void ClearUpperVectorState() {}

#endif

} // namespace zel
