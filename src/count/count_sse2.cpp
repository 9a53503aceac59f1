// The 16-byte kernel: SSE2, which every x86-64 processor and every 32-bit
// Windows machine we run on has. Built with SSE2 enabled.
#include <emmintrin.h>

#include "count/count_kernels.h"

// Each step compares eight vectors and adds their matches, at most 8 a byte
// lane, to byte-wide counters; a run of 31 steps is summed into the total
// with psadbw before a counter can overflow. Adding the compares first keeps
// the loop short, which is what bounds its speed: SSE2 has no three-operand
// forms, and separate counters cost a register copy each.
enum { STEPS_PER_RUN = 31, LANES = 16, STEP = 8 * LANES };

static __m128i MatchesAt(const unsigned char *p, __m128i space)
{
    return _mm_cmpeq_epi8(_mm_loadu_si128((const __m128i *)p), space);
}

// The matches of two vectors at p, 0 to -2 a lane.
static __m128i MatchesOfTwo(const unsigned char *p, __m128i space)
{
    return _mm_add_epi8(MatchesAt(p, space), MatchesAt(p + LANES, space));
}

size_t CountSpacesSse2(const unsigned char *p, size_t cb)
{
    const __m128i space = _mm_set1_epi8(' ');
    const __m128i zero = _mm_setzero_si128();
    size_t total = 0;
    while (cb >= STEP) {
        size_t steps = cb / STEP;
        if (steps > STEPS_PER_RUN)
            steps = STEPS_PER_RUN;
        __m128i counts = zero;
        for (size_t i = 0; i < steps; i++, p += STEP) {
            // A match is all ones, -1: subtracting the sum adds the matches.
            __m128i four1 =
                _mm_add_epi8(MatchesOfTwo(p, space), MatchesOfTwo(p + 2 * LANES, space));
            __m128i four2 = _mm_add_epi8(MatchesOfTwo(p + 4 * LANES, space),
                                         MatchesOfTwo(p + 6 * LANES, space));
            counts = _mm_sub_epi8(counts, _mm_add_epi8(four1, four2));
        }
        cb -= steps * STEP;
        __m128i sums = _mm_sad_epu8(counts, zero);
        total += (size_t)_mm_cvtsi128_si32(sums) +
                 (size_t)_mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums));
    }
    for (; cb > 0; cb--, p++)
        total += *p == ' ';
    return total;
}
