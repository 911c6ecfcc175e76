#include "veskread/extract/stored_block_reader.h"

#include <algorithm>
#include <cstring>

#include "veskread/container/output_budget.h"

namespace vesk {

namespace {
constexpr int64_t kTimeSkip = 136;
constexpr int64_t kLabelSkip = 152;
constexpr size_t kLabelChunk = 4096;
constexpr int64_t kBatchBlocks = 512; // two parts each: the 1024 a system call takes
// Where a block's parts would average at most this many bytes, they cost the
// kernel more than one read of the whole batch and copying the values out.
constexpr int64_t kSmallPartBytes = 512;
// A batch read whole stays within this, so that the copies out read from cache.
constexpr int64_t kWholeBatchBytes = int64_t(256) << 10;

bool read_whole(int64_t count, InfoRoom room) {
    const int64_t parts = room == InfoRoom::Scratch ? 2 : 1;
    return room != InfoRoom::InRow && count >= 0 && count <= kSmallPartBytes * parts / 4;
}
} // namespace

BlockReader::BlockReader(const ByteSource& src) : src_(src), size_(src.size()) {}

void BlockReader::refuse_seek(int64_t offset) {
    // kUnrepresentablePosition is negative too.
    if (offset == kUnrepresentablePosition)
        throw Error(ErrorKind::OffsetOverflow, "stored block offset out of range");
    throw Error(ErrorKind::NegativeSeek, "seek to negative position", offset);
}

int64_t BlockReader::read_values(int64_t offset, int64_t count, float* dst) const {
    if (count <= 0) return 0;
    int64_t want = values_at(offset, count);
    if (want == 0) return 0;
    size_t got = src_.read_at(offset, dst, static_cast<size_t>(want) * 4) / 4;
    return static_cast<int64_t>(got);
}

double BlockReader::time_in(const unsigned char* info) {
    uint64_t bits;
    std::memcpy(&bits, info + kTimeSkip, 8);
    return std::bit_cast<double>(bits);
}

std::string_view BlockReader::label_in(const unsigned char* info, int32_t info_size) {
    const auto* text = reinterpret_cast<const char*>(info + kLabelSkip);
    return cut_at_nul(std::string_view(text, size_t(info_size - kLabelSkip)));
}

BlockBatch::BlockBatch(const BlockReader& reader, int64_t count, int64_t stride,
                       int64_t batch_bytes, InfoRoom room)
    : reader_(reader), count_(count), stride_(stride), batch_bytes_(batch_bytes),
      info_len_(stride > 4 * count && count >= 0 ? static_cast<size_t>(stride - 4 * count) : 0),
      whole_(read_whole(count, room)),
      max_blocks_(static_cast<size_t>(std::clamp<int64_t>(
          stride > 0 ? (whole_ ? std::min(batch_bytes, kWholeBatchBytes) : batch_bytes) / stride
                     : 1,
          1, kBatchBlocks))),
      room_(room) {
    pending_.reset(new Pending[max_blocks_]);
    parts_.reset(new ScatterPart[2 * max_blocks_]);
}

bool BlockBatch::usable(int64_t info_bytes) const {
    // Values must not overlap the next block, and the info parts of a batch
    // must stay small (a huge declared info size goes block by block).
    return count_ > 0 && count_ <= (int64_t(1) << 40) && stride_ >= 4 * count_ &&
           static_cast<int64_t>(info_len_) >= info_bytes &&
           static_cast<int64_t>(info_len_) * static_cast<int64_t>(max_blocks_) <= batch_bytes_;
}

namespace {
// The kernel copies a block with `rep movsb`, which runs several times slower
// when the destination lies just past the source modulo a page (each load
// seems to wait for the store before it): 2.4 us instead of 0.35 us for 4 KiB
// on the machine measured. Such blocks (one in a hundred or so) go through a
// bounce slot placed half a page from both ends, then a plain copy.
constexpr uintptr_t kPage = 4096;
constexpr uintptr_t kSlowDistance = 32;
constexpr size_t kBounceFrom = 512; // smaller copies gain nothing

bool slow_copy(const void* dst, int64_t file_offset) {
    uintptr_t d = (reinterpret_cast<uintptr_t>(dst) - static_cast<uintptr_t>(file_offset)) % kPage;
    return d != 0 && d < kSlowDistance;
}

// How far into `area` (a page to spare) bytes from `file_offset` land at
// distance 0 from it modulo a page, where the kernel copies fastest.
uintptr_t placement_in(const void* area, int64_t file_offset) {
    return (static_cast<uintptr_t>(file_offset) - reinterpret_cast<uintptr_t>(area)) % kPage;
}
unsigned char* placed_for(unsigned char* area, int64_t file_offset) {
    return area + placement_in(area, file_offset);
}
} // namespace

unsigned char* BlockBatch::bounce_slot(size_t& used, const unsigned char* dst, size_t len) {
    uintptr_t base = reinterpret_cast<uintptr_t>(bounce_.get()) + used;
    uintptr_t want = (reinterpret_cast<uintptr_t>(dst) + kPage / 2) % kPage;
    uintptr_t at = base + (want - base % kPage + kPage) % kPage;
    used = at + len - reinterpret_cast<uintptr_t>(bounce_.get());
    return reinterpret_cast<unsigned char*>(at);
}

bool BlockBatch::read_pending() {
    if (whole_) return read_whole_batch();
    const auto values = static_cast<size_t>(count_) * 4;
    size_t n = n_pending_;
    if (scratch_size_ < n * info_len_ + kPage) {
        scratch_size_ = n * info_len_ + kPage;
        scratch_.reset(new unsigned char[scratch_size_]);
    }
    // The first info part meets its slot at distance 0 modulo a page. With
    // values of whole pages every part then does: no batch has all its info
    // parts at a distance where the kernel copies slowly.
    const int64_t first_info = first_ + count_ * 4;
    unsigned char* infos = placed_for(scratch_.get(), first_info);
    n_parts_ = 0;
    // Our own rows (InRow) are placed well by whoever made them.
    const bool bounce = room_ != InfoRoom::InRow && values >= kBounceFrom;
    size_t slow = 0;
    for (size_t j = 0; j < n; ++j) {
        Pending& p = pending_[j];
        p.slow = bounce && slow_copy(p.dst, first_ + static_cast<int64_t>(j) * stride_);
        slow += p.slow;
    }
    if (slow) {
        size_t need = slow * (values + info_len_ + kPage);
        if (bounce_size_ < need) {
            bounce_.reset(new unsigned char[need]);
            bounce_size_ = need;
        }
    }
    size_t bounce_used = 0;
    for (size_t j = 0; j < n; ++j) {
        Pending& p = pending_[j];
        auto* dst = reinterpret_cast<unsigned char*>(p.dst);
        p.bounce = nullptr;
        if (room_ == InfoRoom::InRow) {
            p.info = dst + values;
            add_part(dst, values + info_len_);
            continue;
        }
        if (p.slow) {
            p.bounce = bounce_slot(bounce_used, dst, values + info_len_);
            dst = p.bounce;
            if (room_ == InfoRoom::Unused) { // the info has room in the slot
                p.info = nullptr;
                add_part(dst, values + info_len_);
                continue;
            }
        } else if (room_ == InfoRoom::Unused && j + 1 < n) {
            // The info may cover the start of the next destination, which
            // the next part (or its bounce copy) overwrites, and nothing else.
            auto* next = reinterpret_cast<unsigned char*>(pending_[j + 1].dst);
            if (next == dst + values && info_len_ <= values) {
                p.info = nullptr;
                add_part(dst, values + info_len_);
                continue;
            }
        }
        add_part(dst, values);
        if (info_len_) {
            unsigned char* info = infos + j * info_len_;
            p.info = room_ == InfoRoom::Unused ? nullptr : info;
            add_part(info, info_len_);
        }
    }
    size_t want = n * (values + info_len_);
    if (reader_.source().read_scattered(first_, parts_.get(), n_parts_) != want) return false;
    for (size_t j = 0; slow && j < n; ++j)
        if (pending_[j].bounce) std::memcpy(pending_[j].dst, pending_[j].bounce, values);
    return true;
}

bool BlockBatch::read_whole_batch() {
    const size_t want = n_pending_ * static_cast<size_t>(stride_);
    if (bounce_size_ < want + kPage) {
        bounce_size_ = want + kPage;
        bounce_.reset(new unsigned char[bounce_size_]);
    }
    unsigned char* run = placed_for(bounce_.get(), first_);
    if (reader_.source().read_at(first_, run, want) != want) return false;
    const auto values = static_cast<size_t>(count_) * 4;
    for (size_t j = 0; j < n_pending_; ++j) {
        Pending& p = pending_[j];
        const unsigned char* block = run + j * static_cast<size_t>(stride_);
        std::memcpy(p.dst, block, values);
        p.info = room_ == InfoRoom::Unused ? nullptr : block + values;
    }
    return true;
}

TileRows tile_rows(int64_t count, int64_t stride) {
    constexpr int64_t kPad = 16; // one cache line
    const bool whole = count > 0 && stride % 4 == 0 && stride / 4 > count &&
                       stride / 4 - count <= count && (stride / 4) % 256 != 0;
    if (whole) return {stride / 4, InfoRoom::InRow};
    return {count + kPad, InfoRoom::Scratch};
}

float* place_tile(float* area, int64_t file_offset) {
    // Whole floats: a distance of 0 or just under a page, both fast. Kept in
    // integers: clang 16 at -O1 folds area + (placed - bytes) / 4 back into
    // the unrounded byte address.
    return area + placement_in(area, file_offset) / 4;
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

void BlockReader::check_label_length(int64_t position, int32_t info_size) {
    int64_t n = int64_t(info_size) - kLabelSkip;
    int64_t at = checked_add(position, kLabelSkip);
    if (n < -1)
        throw Error(ErrorKind::NegativeReadLength, "read length must be non-negative or -1", at, n);
}

std::string BlockReader::read_label(int64_t position, int32_t info_size) const {
    check_label_length(position, info_size);
    int64_t n = int64_t(info_size) - kLabelSkip;
    int64_t at = checked_add(position, kLabelSkip);
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

int64_t BlockReader::labels_cut(const std::vector<int64_t>& positions, int32_t info_size) const {
    int64_t n = int64_t(info_size) - kLabelSkip;
    if (n <= 0) return 0; // no name, or one that runs to the end whatever it is
    auto runs_past = [&](int64_t at) { return saturating_add(at, n) > size_; };
    int64_t lowest = -1; // the first name that runs past the end bounds the scan
    for (int64_t p : positions) {
        int64_t at = saturating_add(p, kLabelSkip);
        if (p >= 0 && runs_past(at) && (lowest == -1 || at < lowest)) lowest = at;
    }
    if (lowest == -1) return 0;
    // A name after the last NUL has none before the end.
    int64_t last_nul = -1;
    char buf[kLabelChunk];
    for (int64_t end = size_; end > lowest && last_nul == -1;) {
        int64_t start = std::max(lowest, end - static_cast<int64_t>(kLabelChunk));
        size_t got = src_.read_at(start, buf, static_cast<size_t>(end - start));
        for (size_t i = got; i-- > 0;)
            if (buf[i] == 0) {
                last_nul = start + static_cast<int64_t>(i);
                break;
            }
        end = start;
    }
    int64_t cut = 0;
    for (int64_t p : positions) {
        int64_t at = saturating_add(p, kLabelSkip);
        if (p >= 0 && runs_past(at) && last_nul < at) ++cut;
    }
    return cut;
}

} // namespace vesk
