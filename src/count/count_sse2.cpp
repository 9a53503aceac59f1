// The 16-byte kernel: SSE2, which every x86-64 processor and every 32-bit
// Windows machine we run on has. Built with SSE2 enabled.
#include <emmintrin.h>

#include "count/count_kernels.h"

// Each byte lane of an accumulator counts up to 255 matches; a run of 255
// steps is summed into the total with psadbw before any can overflow.
enum { STEPS_PER_RUN = 255, LANES = 16, UNROLL = 4 };

size_t CountSpacesSse2(const unsigned char *p, size_t cb)
{
    const __m128i space = _mm_set1_epi8(' ');
    const __m128i zero = _mm_setzero_si128();
    size_t total = 0;
    while (cb >= LANES * UNROLL) {
        size_t steps = cb / (LANES * UNROLL);
        if (steps > STEPS_PER_RUN)
            steps = STEPS_PER_RUN;
        __m128i a = zero, b = zero, c = zero, d = zero;
        for (size_t i = 0; i < steps; i++, p += LANES * UNROLL) {
            // A match is all ones, -1: subtracting it adds one.
            a = _mm_sub_epi8(a, _mm_cmpeq_epi8(_mm_loadu_si128((const __m128i *)p), space));
            b = _mm_sub_epi8(b, _mm_cmpeq_epi8(_mm_loadu_si128((const __m128i *)(p + 16)), space));
            c = _mm_sub_epi8(c, _mm_cmpeq_epi8(_mm_loadu_si128((const __m128i *)(p + 32)), space));
            d = _mm_sub_epi8(d, _mm_cmpeq_epi8(_mm_loadu_si128((const __m128i *)(p + 48)), space));
        }
        cb -= steps * LANES * UNROLL;
        __m128i sums = _mm_add_epi64(_mm_add_epi64(_mm_sad_epu8(a, zero), _mm_sad_epu8(b, zero)),
                                     _mm_add_epi64(_mm_sad_epu8(c, zero), _mm_sad_epu8(d, zero)));
        total += (size_t)_mm_cvtsi128_si32(sums) +
                 (size_t)_mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums));
    }
    for (; cb > 0; cb--, p++)
        total += *p == ' ';
    return total;
}
