#include "veskread/extract/stored_block_reader.h"

#include <algorithm>
#include <cstring>

namespace vesk {

namespace {
constexpr int64_t kTimeSkip = 136;
constexpr int64_t kLabelSkip = 152;
constexpr size_t kLabelChunk = 4096;
} // namespace

BlockReader::BlockReader(const ByteSource& src) : src_(src), size_(src.size()) {}

void BlockReader::check_seek(int64_t offset) {
    if (offset == kUnrepresentablePosition)
        throw Error(ErrorKind::OffsetOverflow, "stored block offset out of range");
    if (offset < 0) throw Error(ErrorKind::NegativeSeek, "seek to negative position", offset);
}

int64_t BlockReader::values_at(int64_t offset, int64_t count) const {
    if (count <= 0 || offset >= size_) return 0;
    return std::min(count, (size_ - offset) / 4);
}

int64_t BlockReader::read_values(int64_t offset, int64_t count, float* dst) const {
    if (count <= 0) return 0;
    int64_t want = values_at(offset, count);
    if (want == 0) return 0;
    size_t got = src_.read_at(offset, dst, static_cast<size_t>(want) * 4) / 4;
    return static_cast<int64_t>(got);
}

bool BlockReader::read_run(int64_t offset, int64_t blocks, int64_t stride, int64_t count,
                           float* dst, std::vector<unsigned char>& scratch) const {
    int64_t bytes = (blocks - 1) * stride + count * 4;
    if (offset < 0 || bytes > size_ - offset) return false;
    auto n = static_cast<size_t>(bytes);
    if (scratch.size() < n) scratch.resize(n);
    if (src_.read_at(offset, scratch.data(), n) != n) return false;
    auto row = static_cast<size_t>(count) * 4;
    for (int64_t j = 0; j < blocks; ++j)
        std::memcpy(dst + j * count, scratch.data() + j * stride, row);
    return true;
}

int64_t BlockReader::position_after(int64_t offset, int64_t count, int64_t got) const {
    if (got == count) return checked_add(offset, checked_mul(count, 4));
    return std::max(offset, size_);
}

bool BlockReader::has_time(int64_t position) const {
    int64_t at = checked_add(position, kTimeSkip);
    return at <= size_ - 8;
}

double BlockReader::read_time(int64_t position) const {
    int64_t at = checked_add(position, kTimeSkip);
    unsigned char raw[8];
    size_t got = at < size_ ? src_.read_at(at, raw, 8) : 0;
    if (got != 8) throw_short_read(at, 8, static_cast<int64_t>(got));
    double t;
    std::memcpy(&t, raw, 8);
    return t;
}

std::string BlockReader::read_label(int64_t position, int32_t info_size) const {
    int64_t n = int64_t(info_size) - kLabelSkip;
    int64_t at = checked_add(position, kLabelSkip);
    if (n < -1)
        throw Error(ErrorKind::NegativeReadLength, "read length must be non-negative or -1", at, n);
    int64_t avail = std::max<int64_t>(size_ - at, 0);
    int64_t left = n == -1 ? avail : std::min(n, avail);
    std::string out;
    char buf[kLabelChunk];
    while (left > 0) {
        size_t want = static_cast<size_t>(std::min<int64_t>(left, kLabelChunk));
        size_t got = src_.read_at(at, buf, want);
        if (got == 0) break;
        const void* nul = std::memchr(buf, 0, got);
        if (nul) {
            out.append(buf, static_cast<const char*>(nul) - buf);
            break;
        }
        out.append(buf, got);
        at += static_cast<int64_t>(got);
        left -= static_cast<int64_t>(got);
    }
    return out;
}

} // namespace vesk
