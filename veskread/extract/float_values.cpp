#include "veskread/extract/float_values.h"

namespace vesk {

size_t float32_values_available(const ByteSource& src, int64_t offset, size_t count) {
    if (offset < 0) throw Error(ErrorKind::NegativeSeek, "seek to negative position", offset);
    int64_t size = src.size();
    if (offset >= size) return 0;
    auto whole = static_cast<uint64_t>(size - offset) / 4;
    return whole < count ? static_cast<size_t>(whole) : count;
}

size_t read_float32_at(const ByteSource& src, int64_t offset, float* dst, size_t count) {
    if (offset < 0) throw Error(ErrorKind::NegativeSeek, "seek to negative position", offset);
    if (count == 0) return 0;
    return src.read_at(offset, dst, count * sizeof(float)) / sizeof(float);
}

} // namespace vesk
