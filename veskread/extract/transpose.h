// Moving a tile of rows into columns, for stacks of planes read row by row.
#pragma once

#include <cstdint>

namespace vesk {

// dst[c * dst_pitch + r] = src[r * src_pitch + c] for r < rows, c < cols.
// Works a few rows and columns at a time so that reads and writes both go
// in runs; the buffers must not overlap.
void transpose_tile(const float* src, int64_t rows, int64_t cols, int64_t src_pitch, float* dst,
                    int64_t dst_pitch);

} // namespace vesk
