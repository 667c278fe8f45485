// What the processor offers beyond the baseline the package is compiled for
// (x86-64 with SSE2): a kernel compiled with [[gnu::target(...)]] for a
// newer instruction set runs only where these say the processor has it.
// Each answer is asked once per process, on first use; every thread gets
// the same.
//
// NATIVE_X86_DISPATCH: the kernels for newer instruction sets are built and
// chosen at run time. NATIVE_SSE2: the baseline's own SSE2 kernels are built.
// A build with TAVRO_PORTABLE_KERNELS (CMake's option of that name) has
// neither, so that the portable loops run on x86 as on every other processor.
#pragma once

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(TAVRO_PORTABLE_KERNELS)
#include <cpuid.h>
#include <immintrin.h>
#define NATIVE_X86_DISPATCH 1
#else
#define NATIVE_X86_DISPATCH 0
#endif

#if defined(__SSE2__) && !defined(TAVRO_PORTABLE_KERNELS)
#include <emmintrin.h>  // part of every x86-64 processor
#define NATIVE_SSE2 1
#else
#define NATIVE_SSE2 0
#endif

namespace native::cpu {

#if NATIVE_X86_DISPATCH
namespace detail {

inline bool probe_ssse3() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & bit_SSSE3);
}

// AVX2, and a system that saves the YMM registers.
inline bool probe_avx2() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || !(ecx & bit_OSXSAVE) || !(ecx & bit_AVX)) return false;
    unsigned xcr0 = 0, xcr0_high = 0;
    __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
    if ((xcr0 & 6) != 6) return false;  // the XMM and YMM state
    return __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) && (ebx & bit_AVX2);
}

}  // namespace detail

inline bool has_ssse3() {
    static const bool answer = detail::probe_ssse3();
    return answer;
}

inline bool has_avx2() {
    static const bool answer = detail::probe_avx2();
    return answer;
}
#else
inline bool has_ssse3() { return false; }
inline bool has_avx2() { return false; }
#endif

}  // namespace native::cpu
