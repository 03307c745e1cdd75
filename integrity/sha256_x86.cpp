// The block function on the x86 SHA extensions, in the 32-bit and the 64-bit builds alike.
// Only this file is compiled for those instructions; sha256.cpp calls it only after the CPUID check.
#include <cpuid.h>
#include <immintrin.h>

#include "integrity/sha256_blocks.h"

namespace sha256_blocks {
namespace {

#define SHA_TARGET __attribute__((target("sha,sse4.1")))

// Four rounds: sha256rnds2 does two, taking its two message words from the low half of `wk`.
SHA_TARGET inline void four_rounds(__m128i& abef, __m128i& cdgh, __m128i w, int group) {
  __m128i wk = _mm_add_epi32(w, _mm_load_si128(reinterpret_cast<const __m128i*>(K + 4 * group)));
  cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
  wk = _mm_shuffle_epi32(wk, 0x0e);
  abef = _mm_sha256rnds2_epu32(abef, cdgh, wk);
}

// The next four schedule words from the previous sixteen (w0 the oldest group).
SHA_TARGET inline __m128i next_words(__m128i w0, __m128i w1, __m128i w2, __m128i w3) {
  const __m128i sum = _mm_add_epi32(_mm_sha256msg1_epu32(w0, w1), _mm_alignr_epi8(w3, w2, 4));
  return _mm_sha256msg2_epu32(sum, w3);
}

}  // namespace

SHA_TARGET void sha_extensions(uint32_t state[8], const uint8_t* blocks, std::size_t count) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);

  // The instructions keep the state as the two halves ABEF and CDGH.
  const __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  const __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
  const __m128i cdab = _mm_shuffle_epi32(dcba, 0xb1);
  const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1b);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xf0);

  for (; count > 0; --count, blocks += 64) {
    const __m128i abef_before = abef;
    const __m128i cdgh_before = cdgh;
    __m128i w[4];
    for (int group = 0; group < 4; ++group) {
      const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * group));
      w[group] = _mm_shuffle_epi8(raw, byte_swap);
      four_rounds(abef, cdgh, w[group], group);
    }
#pragma GCC unroll 12
    for (int group = 4; group < 16; ++group) {
      w[group & 3] = next_words(w[group & 3], w[(group + 1) & 3], w[(group + 2) & 3], w[(group + 3) & 3]);
      four_rounds(abef, cdgh, w[group & 3], group);
    }
    abef = _mm_add_epi32(abef, abef_before);
    cdgh = _mm_add_epi32(cdgh, cdgh_before);
  }

  const __m128i feba = _mm_shuffle_epi32(abef, 0x1b);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xb1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xf0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

bool cpu_has_sha_extensions() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid_max(0, nullptr) < 7) return false;
  __cpuid(1, eax, ebx, ecx, edx);
  const bool sse41 = (ecx & bit_SSE4_1) != 0 && (ecx & bit_SSSE3) != 0;
  __cpuid_count(7, 0, eax, ebx, ecx, edx);
  const bool sha = (ebx & (1u << 29)) != 0;
  return sse41 && sha;
}

}  // namespace sha256_blocks
