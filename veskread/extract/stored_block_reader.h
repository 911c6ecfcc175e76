// Reading the stored blocks of a 3D data block.
//
// Each stored block starts with float32 values; its info part holds a float64
// time 136 bytes after the values or a trace name from 152 bytes after them.
// The reader answers with positioned reads and follows a Python binary file
// read by numpy's fromfile: a short read yields fewer values and leaves the
// position at the end of the file. It touches no Python object, so callers
// may run it without the interpreter lock.
#pragma once

#include <cstdint>
#include <string>
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
    static void check_seek(int64_t offset);

    // How many of `count` values the file holds at `offset` (no read).
    int64_t values_at(int64_t offset, int64_t count) const;
    // Reads up to `count` values into dst (room for `count`), converting
    // from little-endian; returns how many were there.
    int64_t read_values(int64_t offset, int64_t count, float* dst) const;
    // File position after asking for `count` values at `offset` and getting `got`.
    int64_t position_after(int64_t offset, int64_t count, int64_t got) const;

    // The time 136 bytes past `position`; ShortRead when the file ends first.
    double read_time(int64_t position) const;
    // Whether read_time would find all 8 bytes.
    bool has_time(int64_t position) const;

    // The name 152 bytes past `position`: info_size - 152 bytes (-1 meaning
    // the rest of the file), cut before the first NUL.
    std::string read_label(int64_t position, int32_t info_size) const;

    // The time and the name as they lie in `info`, the bytes that follow a
    // block's values (the caller makes sure they hold them).
    static double time_in(const unsigned char* info);
    static std::string label_in(const unsigned char* info, int32_t info_size);

    const ByteSource& source() const { return src_; }

private:
    const ByteSource& src_;
    int64_t size_;
};

// Stored blocks that lie back to back in the file, read a batch at a time
// with one scattered read: the values straight into their destination, the
// rest of each block (its info part) into scratch, from which callers take
// times or names. A batch is bounded (a few MiB, 512 blocks) so that a long
// read is a series of short steps. Only blocks that the file holds in full
// join (`fits`); the rest go through the single-block reads, so every short
// read and its error stay where they were.
class BlockBatch {
public:
    // `count` values per block; consecutive blocks lie `stride` bytes apart;
    // a batch spans about `batch_bytes` (at least one block).
    BlockBatch(const BlockReader& reader, int64_t count, int64_t stride,
               int64_t batch_bytes = int64_t(4) << 20);

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
        return pending_.empty() || (offset == next_ && pending_.size() < max_blocks_);
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
        if (pending_.empty()) first_ = offset;
        pending_.push_back({dst, tag});
        next_ = offset + stride_;
    }
    template <typename Done, typename Single> void flush(Done&& done, Single&& single) {
        if (pending_.empty()) return;
        if (read_pending()) {
            for (size_t j = 0; j < pending_.size(); ++j) done(pending_[j].tag, info(j));
        } else {
            for (size_t j = 0; j < pending_.size(); ++j)
                single(pending_[j].tag, first_ + static_cast<int64_t>(j) * stride_,
                       pending_[j].dst);
        }
        pending_.clear();
    }

private:
    struct Pending {
        float* dst;
        int64_t tag;
    };
    bool read_pending(); // false when the file held less than the batch
    const unsigned char* info(size_t j) const { return scratch_.data() + j * info_len_; }

    const BlockReader& reader_;
    int64_t count_;
    int64_t stride_;
    int64_t batch_bytes_;
    size_t info_len_;
    size_t max_blocks_;
    int64_t first_ = 0;
    int64_t next_ = 0;
    std::vector<Pending> pending_;
    std::vector<unsigned char> scratch_;
    std::vector<ScatterPart> parts_;
};

// Trace names of the stored blocks; repeated names share one text.
struct Labels {
    std::vector<std::string> texts;
    std::vector<uint32_t> of_block; // index into texts, one per stored block
};

} // namespace vesk
