#include "veskread/extract/store_table.h"

#include <algorithm>
#include <string>

#include "veskread/container/interrupt.h"
#include "veskread/container/output_budget.h"

namespace vesk {

namespace {

// Small tables are the rule; a count past this slack must be justified by
// the file's size.
constexpr int64_t kBlockSlack = 65536;

// Python ints never wrap; positions beyond int64 are kept as a marker that
// the seek refuses.
struct Position {
    __int128 v;
    int64_t stored() const {
        if (v < std::numeric_limits<int64_t>::min() || v > std::numeric_limits<int64_t>::max())
            return kUnrepresentablePosition;
        return static_cast<int64_t>(v);
    }
};

} // namespace

StoreTable read_store_table(Cursor& cur, int64_t data_offset) {
    StoreTable t;
    cur.seek(data_offset);
    t.version = cur.read_i32();
    t.stored_blocks = cur.read_i32();
    int32_t raw_offset = cur.read_i32();
    t.block_offset = checked_add(data_offset, raw_offset);
    t.block_size = cur.read_i32();
    t.info_size = cur.read_i32();
    t.number_of_entries = cur.read_i32();
    // The count is the file's word; reserve only what the file can still hold.
    int64_t left = std::max<int64_t>(cur.source_size() - cur.tell(), 0);
    int64_t want = std::min<int64_t>(t.number_of_entries, left / 8);
    if (want > 0) t.entries.reserve(static_cast<size_t>(want));
    for (int32_t i = 0; i < t.number_of_entries; ++i) {
        poll_interrupt(8);
        int32_t first = cur.read_i32();
        int32_t second = cur.read_i32();
        t.entries.emplace_back(first, second);
    }
    return t;
}

int64_t count_named_blocks(const StoreTable& table) {
    int64_t count = 0;
    for (auto [first, last] : table.entries) {
        if (first == -1 || last < first) continue;
        count = saturating_add(count, int64_t(last) - first + 1);
    }
    return count;
}

void StoredBlocks::build_index() const {
    indexed_ = true;
    int64_t lo = std::numeric_limits<int64_t>::max(), hi = std::numeric_limits<int64_t>::min();
    for (const auto& b : blocks) {
        lo = std::min<int64_t>(lo, b.number);
        hi = std::max<int64_t>(hi, b.number);
    }
    auto n = static_cast<int64_t>(blocks.size());
    if (n > 0 && n < int64_t(UINT32_MAX) && hi - lo < 2 * n + 64) {
        dense_base_ = lo;
        dense_.assign(static_cast<size_t>(hi - lo + 1), 0);
        for (size_t j = 0; j < blocks.size(); ++j)
            dense_[static_cast<size_t>(blocks[j].number - lo)] = static_cast<uint32_t>(j + 1);
    } else {
        index_.reserve(blocks.size());
        for (const auto& b : blocks) index_[b.number] = b.offset;
    }
}

const int64_t* StoredBlocks::find_hashed(int64_t number) const {
    if (number < std::numeric_limits<int32_t>::min() ||
        number > std::numeric_limits<int32_t>::max())
        return nullptr;
    auto it = index_.find(static_cast<int32_t>(number));
    return it == index_.end() ? nullptr : &it->second;
}

StoredBlocks stored_block_offsets(const StoreTable& table, int64_t file_size) {
    int64_t stride = int64_t(table.block_size) + table.info_size;
    int64_t count = count_named_blocks(table);
    // A stored block holds at least one 4-byte value; blocks declared closer
    // together than that overlap, and count as if they did not.
    int64_t capacity = std::max<int64_t>(file_size, 0) / std::max<int64_t>(stride, 4) + kBlockSlack;
    if (count > capacity)
        throw Error(ErrorKind::BadCount,
                    "3D store table names " + std::to_string(count) + " stored blocks of " +
                        std::to_string(stride) + " bytes; a file of " + std::to_string(file_size) +
                        " bytes cannot hold them",
                    table.block_offset, count);

    StoredBlocks out;
    out.blocks.reserve(static_cast<size_t>(count));
    // Runs in ascending, disjoint order cannot repeat a number; only tables
    // that break that order pay for the lookup that keeps the first place.
    bool ascending = true;
    int64_t last_seen = int64_t(std::numeric_limits<int32_t>::min()) - 1;
    for (auto [first, last] : table.entries) {
        if (first == -1 || last < first) continue;
        if (first <= last_seen) ascending = false;
        last_seen = last;
    }
    std::unordered_map<int32_t, size_t> place;
    if (!ascending) place.reserve(static_cast<size_t>(count));

    Position pos{table.block_offset};
    constexpr int32_t kBlocksPerPoll = 64;
    int32_t unpolled = 0;
    for (auto [first, last] : table.entries) {
        if (first == -1) {
            pos.v += last;
            continue;
        }
        for (int64_t n = first; n <= last; ++n) {
            if (++unpolled == kBlocksPerPoll) {
                poll_interrupt(kBlocksPerPoll * 16);
                unpolled = 0;
            }
            StoredBlock b{static_cast<int32_t>(n), pos.stored()};
            if (ascending) {
                out.blocks.push_back(b);
            } else {
                auto [it, inserted] = place.try_emplace(b.number, out.blocks.size());
                if (inserted)
                    out.blocks.push_back(b);
                else
                    out.blocks[it->second].offset = b.offset;
            }
            pos.v += stride;
        }
    }
    return out;
}

void spend_on_stored_blocks(int64_t file_size, int64_t count, int64_t bytes) {
    OutputBudget(file_size).spend(bytes, "3D store table names " + std::to_string(count) +
                                             " stored blocks that make " + std::to_string(bytes) +
                                             " bytes of values");
}

} // namespace vesk
