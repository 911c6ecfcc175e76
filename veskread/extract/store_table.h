// The store header and store table of a 3D data block.
//
// A 3D block starts with six int32 fields (version, stored blocks, offset of
// the first stored block, data size, info size, entry count) and the table:
// run entries (first, last) name blocks stored back to back, gap entries
// (-1, bytes) move the next block on. `stored_block_offsets` turns the table
// into the numbered stored blocks in file order, refusing tables that name
// far more blocks than the file could hold before it materialises any.
#pragma once

#include <cstdint>
#include <limits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "veskread/container/byte_source.h"

namespace vesk {

struct StoreTable {
    int32_t version = 0;
    int32_t stored_blocks = 0;
    int64_t block_offset = 0; // absolute: the raw field plus the block's own offset
    int32_t block_size = 0;   // bytes of values in one stored block
    int32_t info_size = 0;    // bytes of info after them
    int32_t number_of_entries = 0;
    std::vector<std::pair<int32_t, int32_t>> entries;
};

// Reads the header and table at `data_offset`. Short reads throw ShortRead.
StoreTable read_store_table(Cursor& cur, int64_t data_offset);

// A file position that may lie outside what a 64-bit offset holds; seeking
// there fails the way Python's seek does.
constexpr int64_t kUnrepresentablePosition = std::numeric_limits<int64_t>::min();

struct StoredBlock {
    int32_t number;
    int64_t offset; // absolute, or kUnrepresentablePosition
};

// Stored blocks in file order. A number named twice keeps its first place
// and its later offset, as a dict assignment would.
struct StoredBlocks {
    std::vector<StoredBlock> blocks;
    // Offset of a block number; nullptr when absent. Built on first use.
    // Inline: the region loops ask once per point.
    const int64_t* find(int64_t number) const {
        if (!indexed_) build_index();
        if (dense_.empty()) return find_hashed(number);
        // Unsigned: exact for any number at or above the base.
        uint64_t k = static_cast<uint64_t>(number) - static_cast<uint64_t>(dense_base_);
        if (number < dense_base_ || k >= dense_.size()) return nullptr;
        uint32_t at = dense_[k];
        return at == 0 ? nullptr : &blocks[at - 1].offset;
    }

private:
    void build_index() const;
    const int64_t* find_hashed(int64_t number) const;

    // Numbers are usually 0..n-1 (or close): then a table by number,
    // otherwise a hash map.
    mutable std::vector<uint32_t> dense_; // 1 + position in `blocks`; 0 when absent
    mutable int64_t dense_base_ = 0;
    mutable std::unordered_map<int32_t, int64_t> index_;
    mutable bool indexed_ = false;
};

// Blocks the run entries name, counting repeats; saturates at INT64_MAX.
int64_t count_named_blocks(const StoreTable& table);

// Throws Error(BadCount) when the runs name more blocks than a file of
// `file_size` bytes could hold (with a fixed slack), before allocating.
StoredBlocks stored_block_offsets(const StoreTable& table, int64_t file_size);

// Reading `count` stored blocks into `bytes` of results: refused with a
// ValueError past output_limit of the file, as stored blocks that overlap
// can make a small file declare gigabytes.
void spend_on_stored_blocks(int64_t file_size, int64_t count, int64_t bytes);

} // namespace vesk
