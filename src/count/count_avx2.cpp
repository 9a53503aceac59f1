// The 32-byte kernel: AVX2, where the processor has it and the system saves
// its registers. Built with AVX2 enabled, so nothing here may run before the
// processor has been asked.
#include <immintrin.h>

#include "count/count_kernels.h"

// As the SSE2 kernel: byte-wide counters, summed with psadbw every 255 steps.
enum { STEPS_PER_RUN = 255, LANES = 32, UNROLL = 4 };

size_t CountSpacesAvx2(const unsigned char *p, size_t cb)
{
    const __m256i space = _mm256_set1_epi8(' ');
    const __m256i zero = _mm256_setzero_si256();
    size_t total = 0;
    while (cb >= LANES * UNROLL) {
        size_t steps = cb / (LANES * UNROLL);
        if (steps > STEPS_PER_RUN)
            steps = STEPS_PER_RUN;
        __m256i a = zero, b = zero, c = zero, d = zero;
        for (size_t i = 0; i < steps; i++, p += LANES * UNROLL) {
            const __m256i *v = (const __m256i *)p;
            a = _mm256_sub_epi8(a, _mm256_cmpeq_epi8(_mm256_loadu_si256(v), space));
            b = _mm256_sub_epi8(b, _mm256_cmpeq_epi8(_mm256_loadu_si256(v + 1), space));
            c = _mm256_sub_epi8(c, _mm256_cmpeq_epi8(_mm256_loadu_si256(v + 2), space));
            d = _mm256_sub_epi8(d, _mm256_cmpeq_epi8(_mm256_loadu_si256(v + 3), space));
        }
        cb -= steps * LANES * UNROLL;
        __m256i sums =
            _mm256_add_epi64(_mm256_add_epi64(_mm256_sad_epu8(a, zero), _mm256_sad_epu8(b, zero)),
                             _mm256_add_epi64(_mm256_sad_epu8(c, zero), _mm256_sad_epu8(d, zero)));
        __m128i half = _mm_add_epi64(_mm256_castsi256_si128(sums),
                                     _mm256_extracti128_si256(sums, 1));
        total += (size_t)_mm_cvtsi128_si32(half) +
                 (size_t)_mm_cvtsi128_si32(_mm_unpackhi_epi64(half, half));
    }
    for (; cb > 0; cb--, p++)
        total += *p == ' ';
    return total;
}
