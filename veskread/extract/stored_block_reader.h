// Reading the stored blocks of a 3D data block.
//
// Each stored block starts with float32 values; its info part holds a float64
// time 136 bytes after the values or a trace name from 152 bytes after them.
// The reader answers with positioned reads and follows a Python binary file
// read by numpy's fromfile: a short read yields fewer values and leaves the
// position at the end of the file. It touches no Python object, so callers
// may run it without the interpreter lock.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "veskread/container/byte_source.h"
#include "veskread/extract/store_table.h"

namespace vesk {

class BlockReader {
public:
    // The file size is taken once; reads still stop wherever the file ends.
    explicit BlockReader(const ByteSource& src);

    int64_t file_size() const { return size_; }

    // Throws what seeking a Python file to `offset` raises, if anything.
    static void check_seek(int64_t offset) {
        if (offset < 0) [[unlikely]]
            refuse_seek(offset);
    }

    // How many of `count` values the file holds at `offset` (no read).
    int64_t values_at(int64_t offset, int64_t count) const {
        if (count <= 0 || offset >= size_) return 0;
        return std::min(count, (size_ - offset) / 4);
    }
    // Reads up to `count` values into dst (room for `count`), converting
    // from little-endian; returns how many were there.
    int64_t read_values(int64_t offset, int64_t count, float* dst) const;
    // File position after asking for `count` values at `offset` and getting `got`.
    int64_t position_after(int64_t offset, int64_t count, int64_t got) const {
        if (got == count) return checked_add(offset, checked_mul(count, 4));
        return std::max(offset, size_);
    }

    // The time 136 bytes past `position`; ShortRead when the file ends first.
    double read_time(int64_t position) const;
    // Whether read_time would find all 8 bytes.
    bool has_time(int64_t position) const { return checked_add(position, 136) <= size_ - 8; }
    // Whether the file holds `count` values at `offset` whole, and the time
    // after them: a stored spectrum of a series or multiregion map.
    bool holds_spectrum(int64_t offset, int64_t count) const {
        int64_t got = values_at(offset, count);
        return offset >= 0 && got == count && has_time(position_after(offset, count, got));
    }

    // The name 152 bytes past `position`: info_size - 152 bytes (-1 meaning
    // the rest of the file), cut before the first NUL.
    std::string read_label(int64_t position, int32_t info_size) const;
    // How many of the names read_label would read at `positions` the end of
    // the file cuts short: the name's place runs past the end with no NUL
    // before it, so it reads shorter than stored, or empty.
    int64_t labels_cut(const std::vector<int64_t>& positions, int32_t info_size) const;
    // Throws what read_label throws before it reads: a name whose length
    // info_size makes negative (other than -1).
    static void check_label_length(int64_t position, int32_t info_size);

    // The time and the name as they lie in `info`, the bytes that follow a
    // block's values (the caller makes sure they hold them).
    static double time_in(const unsigned char* info);
    static std::string_view label_in(const unsigned char* info, int32_t info_size);

    const ByteSource& source() const { return src_; }

private:
    [[noreturn]] static void refuse_seek(int64_t offset);

    const ByteSource& src_;
    int64_t size_;
};

// Stored blocks that lie back to back in the file, read a batch at a time
// with one scattered read: the values straight into their destination, the
// rest of each block (its info part) where InfoRoom says, from which callers
// take times or names. A batch is bounded (a few MiB, 512 blocks) so that a
// long read is a series of short steps. Only blocks that the file holds in
// full join (`fits`); the rest go through the single-block reads, so every
// short read and its error stay where they were.
//
// The kernel copies each part of a scattered read on its own, at a cost per
// part that is a good share of copying 4 KiB; the modes other than Scratch
// let the parts of neighbouring blocks run together. Blocks of a few hundred
// values are cheaper to read whole and copy out: their batches are one plain
// read into a buffer, from which the values are copied and the info read.
enum class InfoRoom {
    Scratch, // info parts go to scratch: the destinations need no room
    InRow,   // each destination has room for the whole block; the info stays there
    Unused,  // nobody reads the info: it may land in the next block's destination,
             // which that block's values then overwrite
};

class BlockBatch {
public:
    static constexpr int64_t kDefaultBatchBytes = int64_t(4) << 20;

    // `count` values per block; consecutive blocks lie `stride` bytes apart;
    // a batch spans about `batch_bytes` (at least one block).
    BlockBatch(const BlockReader& reader, int64_t count, int64_t stride,
               int64_t batch_bytes = kDefaultBatchBytes, InfoRoom room = InfoRoom::Scratch);

    // Whether each block leaves `info_bytes` after its values within the stride.
    bool usable(int64_t info_bytes = 0) const;
    // Whether the file holds the whole block at `offset`.
    bool fits(int64_t offset) const {
        return offset >= 0 && offset <= reader_.file_size() - stride_;
    }

    // Most blocks in one batch.
    size_t capacity() const { return max_blocks_; }
    // Whether a block at `offset` would join the pending batch.
    bool joins(int64_t offset) const {
        return n_pending_ == 0 || (offset == next_ && n_pending_ < max_blocks_);
    }

    // Queues the block at `offset` (values to `dst`), reading the pending
    // batch first when the block does not continue it or it is full. Each
    // block read is handed on as done(tag, info), in queue order; when the
    // file turns out shorter than it was (it changed under the read), each
    // block of the batch goes to single(tag, offset, dst) instead, to be
    // read on its own with the errors that such a read gives.
    template <typename Done, typename Single>
    void add(int64_t offset, float* dst, int64_t tag, Done&& done, Single&& single) {
        if (!joins(offset)) flush(done, single);
        if (n_pending_ == 0) first_ = offset;
        pending_[n_pending_++] = {dst, tag};
        next_ = offset + stride_;
    }
    // add() when `batching` and the file holds the whole block; otherwise the
    // pending batch is read first, then the block on its own with single().
    template <typename Done, typename Single> void take(bool batching, int64_t offset, float* dst,
                                                        int64_t tag, Done&& done, Single&& single) {
        if (batching && fits(offset)) return add(offset, dst, tag, done, single);
        flush(done, single);
        single(tag, offset, dst);
    }
    template <typename Done, typename Single> void flush(Done&& done, Single&& single) {
        if (n_pending_ == 0) return;
        if (read_pending()) {
            for (size_t j = 0; j < n_pending_; ++j) done(pending_[j].tag, pending_[j].info);
        } else {
            for (size_t j = 0; j < n_pending_; ++j)
                single(pending_[j].tag, first_ + static_cast<int64_t>(j) * stride_,
                       pending_[j].dst);
        }
        n_pending_ = 0;
    }

private:
    struct Pending {
        float* dst;
        int64_t tag;
        const unsigned char* info = nullptr; // where the read put it (null: Unused)
        unsigned char* bounce = nullptr;     // where the values land first, if not dst
        bool slow = false;                   // dst lies where the kernel copies slowly
    };
    bool read_pending(); // false when the file held less than the batch
    // Small blocks: the batch read whole into bounce_, its values copied out.
    bool read_whole_batch();
    // A slot of `len` bytes in bounce_ from `used` on, placed for a fast copy to `dst`.
    unsigned char* bounce_slot(size_t& used, const unsigned char* dst, size_t len);
    // Parts that meet in memory (as they meet in the file) become one.
    void add_part(void* dst, size_t len) {
        if (n_parts_ > 0) {
            ScatterPart& last = parts_[n_parts_ - 1];
            if (static_cast<unsigned char*>(last.dst) + last.len == dst) {
                last.len += len;
                return;
            }
        }
        parts_[n_parts_++] = {dst, len};
    }

    const BlockReader& reader_;
    int64_t count_;
    int64_t stride_;
    int64_t batch_bytes_;
    size_t info_len_;
    bool whole_; // batches are read whole and copied out (small blocks)
    size_t max_blocks_;
    InfoRoom room_;
    int64_t first_ = 0;
    int64_t next_ = 0;
    // Room for a full batch, made once: two parts a block at most.
    std::unique_ptr<Pending[]> pending_;
    size_t n_pending_ = 0;
    // Not cleared: every byte a caller sees was read first.
    std::unique_ptr<unsigned char[]> scratch_;
    size_t scratch_size_ = 0;
    std::unique_ptr<unsigned char[]> bounce_;
    size_t bounce_size_ = 0;
    std::unique_ptr<ScatterPart[]> parts_;
    size_t n_parts_ = 0;
};

// Rows of a tile that planes of `count` values are read into before they
// are moved across the result. Where a block is whole floats and its info
// no larger than its values, a row holds the whole block (InRow), so that a
// batch is one run of the file; otherwise a row holds the values, padded so
// that going down a column does not hit one cache set again and again.
struct TileRows {
    int64_t pitch; // floats from one row to the next
    InfoRoom room;
};
TileRows tile_rows(int64_t count, int64_t stride);

// Floats a tile needs beyond its rows so that place_tile can move it.
inline constexpr size_t kTilePlacementSlack = 1024;
// Where in `area` (its rows plus kTilePlacementSlack floats) a tile whose
// batch starts at `file_offset` goes: against the file modulo a page, where
// the kernel copies fastest and never at the distance where it crawls.
float* place_tile(float* area, int64_t file_offset);

// Trace names of the stored blocks; repeated names share one text.
struct Labels {
    std::vector<std::string> texts;
    std::vector<uint32_t> of_block; // index into texts, one per stored block
};

} // namespace vesk
