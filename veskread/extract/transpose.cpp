#include "veskread/extract/transpose.h"

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace vesk {

namespace {

void transpose_scalar(const float* src, int64_t r0, int64_t rows, int64_t c0, int64_t cols,
                      int64_t src_pitch, float* dst, int64_t dst_pitch) {
    for (int64_t c = c0; c < cols; ++c)
        for (int64_t r = r0; r < rows; ++r) dst[c * dst_pitch + r] = src[r * src_pitch + c];
}

#if defined(__SSE2__)
// 4 x 4 blocks in registers: each load and store moves four values.
void transpose_blocks(const float* src, int64_t rows, int64_t cols, int64_t src_pitch, float* dst,
                      int64_t dst_pitch) {
    for (int64_t c = 0; c < cols; c += 4) {
        for (int64_t r = 0; r < rows; r += 4) {
            const float* s = src + r * src_pitch + c;
            __m128 a = _mm_loadu_ps(s);
            __m128 b = _mm_loadu_ps(s + src_pitch);
            __m128 e = _mm_loadu_ps(s + 2 * src_pitch);
            __m128 f = _mm_loadu_ps(s + 3 * src_pitch);
            _MM_TRANSPOSE4_PS(a, b, e, f);
            float* d = dst + c * dst_pitch + r;
            _mm_storeu_ps(d, a);
            _mm_storeu_ps(d + dst_pitch, b);
            _mm_storeu_ps(d + 2 * dst_pitch, e);
            _mm_storeu_ps(d + 3 * dst_pitch, f);
        }
    }
}

// 8 x 8 blocks where the processor has 256-bit registers: half the stores.
__attribute__((target("avx"))) void transpose_blocks8(const float* src, int64_t rows, int64_t cols,
                                                      int64_t src_pitch, float* dst,
                                                      int64_t dst_pitch) {
    for (int64_t c = 0; c < cols; c += 8) {
        for (int64_t r = 0; r < rows; r += 8) {
            const float* s = src + r * src_pitch + c;
            __m256 r0 = _mm256_loadu_ps(s);
            __m256 r1 = _mm256_loadu_ps(s + src_pitch);
            __m256 r2 = _mm256_loadu_ps(s + 2 * src_pitch);
            __m256 r3 = _mm256_loadu_ps(s + 3 * src_pitch);
            __m256 r4 = _mm256_loadu_ps(s + 4 * src_pitch);
            __m256 r5 = _mm256_loadu_ps(s + 5 * src_pitch);
            __m256 r6 = _mm256_loadu_ps(s + 6 * src_pitch);
            __m256 r7 = _mm256_loadu_ps(s + 7 * src_pitch);
            __m256 t0 = _mm256_unpacklo_ps(r0, r1), t1 = _mm256_unpackhi_ps(r0, r1);
            __m256 t2 = _mm256_unpacklo_ps(r2, r3), t3 = _mm256_unpackhi_ps(r2, r3);
            __m256 t4 = _mm256_unpacklo_ps(r4, r5), t5 = _mm256_unpackhi_ps(r4, r5);
            __m256 t6 = _mm256_unpacklo_ps(r6, r7), t7 = _mm256_unpackhi_ps(r6, r7);
            __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44), u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
            __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44), u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
            __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44), u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
            __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44), u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
            float* d = dst + c * dst_pitch + r;
            _mm256_storeu_ps(d, _mm256_permute2f128_ps(u0, u4, 0x20));
            _mm256_storeu_ps(d + dst_pitch, _mm256_permute2f128_ps(u1, u5, 0x20));
            _mm256_storeu_ps(d + 2 * dst_pitch, _mm256_permute2f128_ps(u2, u6, 0x20));
            _mm256_storeu_ps(d + 3 * dst_pitch, _mm256_permute2f128_ps(u3, u7, 0x20));
            _mm256_storeu_ps(d + 4 * dst_pitch, _mm256_permute2f128_ps(u0, u4, 0x31));
            _mm256_storeu_ps(d + 5 * dst_pitch, _mm256_permute2f128_ps(u1, u5, 0x31));
            _mm256_storeu_ps(d + 6 * dst_pitch, _mm256_permute2f128_ps(u2, u6, 0x31));
            _mm256_storeu_ps(d + 7 * dst_pitch, _mm256_permute2f128_ps(u3, u7, 0x31));
        }
    }
}

bool has_avx() {
    static const bool yes = __builtin_cpu_supports("avx");
    return yes;
}
#endif

} // namespace

void transpose_tile(const float* src, int64_t rows, int64_t cols, int64_t src_pitch, float* dst,
                    int64_t dst_pitch) {
    int64_t r4 = 0, c4 = 0;
#if defined(__SSE2__)
    if (has_avx()) {
        r4 = rows & ~int64_t(7);
        c4 = cols & ~int64_t(7);
        transpose_blocks8(src, r4, c4, src_pitch, dst, dst_pitch);
    } else {
        r4 = rows & ~int64_t(3);
        c4 = cols & ~int64_t(3);
        transpose_blocks(src, r4, c4, src_pitch, dst, dst_pitch);
    }
#endif
    // The edges a block does not cover.
    transpose_scalar(src, r4, rows, 0, c4, src_pitch, dst, dst_pitch);
    transpose_scalar(src, 0, rows, c4, cols, src_pitch, dst, dst_pitch);
}

} // namespace vesk
