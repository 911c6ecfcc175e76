#include "veskread/extract/stored_block_reader.h"

#include <algorithm>
#include <cstring>

namespace vesk {

namespace {
constexpr int64_t kTimeSkip = 136;
constexpr int64_t kLabelSkip = 152;
constexpr size_t kLabelChunk = 4096;
constexpr int64_t kBatchBlocks = 512; // two parts each: the 1024 a system call takes
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

int64_t BlockReader::position_after(int64_t offset, int64_t count, int64_t got) const {
    if (got == count) return checked_add(offset, checked_mul(count, 4));
    return std::max(offset, size_);
}

bool BlockReader::has_time(int64_t position) const {
    int64_t at = checked_add(position, kTimeSkip);
    return at <= size_ - 8;
}

double BlockReader::time_in(const unsigned char* info) {
    uint64_t bits;
    std::memcpy(&bits, info + kTimeSkip, 8);
    return std::bit_cast<double>(bits);
}

std::string BlockReader::label_in(const unsigned char* info, int32_t info_size) {
    const auto* text = reinterpret_cast<const char*>(info + kLabelSkip);
    return std::string(cut_at_nul(std::string_view(text, size_t(info_size - kLabelSkip))));
}

BlockBatch::BlockBatch(const BlockReader& reader, int64_t count, int64_t stride,
                       int64_t batch_bytes)
    : reader_(reader), count_(count), stride_(stride), batch_bytes_(batch_bytes),
      info_len_(stride > 4 * count && count >= 0 ? static_cast<size_t>(stride - 4 * count) : 0),
      max_blocks_(static_cast<size_t>(
          std::clamp<int64_t>(stride > 0 ? batch_bytes / stride : 1, 1, kBatchBlocks))) {}

bool BlockBatch::usable(int64_t info_bytes) const {
    // Values must not overlap the next block, and the info parts of a batch
    // must stay small (a huge declared info size goes block by block).
    return count_ > 0 && count_ <= (int64_t(1) << 40) && stride_ >= 4 * count_ &&
           static_cast<int64_t>(info_len_) >= info_bytes &&
           static_cast<int64_t>(info_len_) * static_cast<int64_t>(max_blocks_) <= batch_bytes_;
}

bool BlockBatch::read_pending() {
    size_t n = pending_.size();
    if (scratch_.size() < n * info_len_) scratch_.resize(n * info_len_);
    parts_.clear();
    auto values = static_cast<size_t>(count_) * 4;
    for (size_t j = 0; j < n; ++j) {
        parts_.push_back({pending_[j].dst, values});
        if (info_len_) parts_.push_back({scratch_.data() + j * info_len_, info_len_});
    }
    size_t want = n * (values + info_len_);
    return reader_.source().read_scattered(first_, parts_.data(), parts_.size()) == want;
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
