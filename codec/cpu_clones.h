// Runtime choice of instruction set for the encoder loop.
//
// The match tree counts leading zero bits at nearly every node it visits.
// The x86-64 baseline has only a slow bit-scan instruction for that; CPUs
// of the x86-64-v3 level count in one fast instruction and also load
// byte-swapped words directly. LZRING_CPU_CLONES on a function makes
// the compiler build it for both levels and pick one when the library is
// loaded. Both builds come from the same source and give the same bytes.
//
// Only where the toolchain supports it: GCC on x86-64 ELF targets, and not
// under a sanitizer, whose runtime is not ready when the choice is made at
// load time. The build turns it off with LZRING_CPU_DISPATCH=OFF, as the
// sanitizer preset does so that its tests run the baseline build.
#ifndef LZRING_CODEC_CPU_CLONES_H
#define LZRING_CODEC_CPU_CLONES_H

#if defined(LZRING_CPU_DISPATCH) && defined(__x86_64__) && defined(__ELF__) && \
    defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12 &&              \
    !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define LZRING_CPU_CLONES \
  __attribute__((target_clones("default", "arch=x86-64-v3"), visibility("hidden")))
#else
#define LZRING_CPU_CLONES
#endif

#endif  // LZRING_CODEC_CPU_CLONES_H
