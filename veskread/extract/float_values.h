// Bulk reads of little-endian float32 values straight into caller memory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "veskread/container/byte_source.h"

namespace vesk {

// Whole values the source holds from `offset` on, at most `count`: what a
// counted read of float32 values gets before the end of the file.
size_t float32_values_available(const ByteSource& src, int64_t offset, size_t count);

// Reads up to `count` values at `offset` into dst (host byte order) and
// returns how many whole values were there. A negative offset is refused as
// a seek there would be.
size_t read_float32_at(const ByteSource& src, int64_t offset, float* dst, size_t count);

} // namespace vesk
