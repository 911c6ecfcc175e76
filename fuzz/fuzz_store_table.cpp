// The 3D store header and table over arbitrary bytes; the first input byte
// picks where the block starts (0 to 15). Checks that the numbered blocks
// never outnumber what the file can hold, that every block named by a run can
// be found, and that the layout choice holds for any NPT.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "budget.h"
#include "veskread/extract/kind_choice.h"
#include "veskread/extract/store_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return vesk::fuzz::parse_from_picked_offset(data, size, [&](vesk::Cursor& cur, int64_t start) {
        vesk::StoreTable table = vesk::read_store_table(cur, start);
        if (table.entries.size() > size / 8) std::abort();
        vesk::StoredBlocks blocks = vesk::stored_block_offsets(table, cur.source_size());
        int64_t named = vesk::count_named_blocks(table);
        if (static_cast<int64_t>(blocks.blocks.size()) > named) std::abort();
        for (const auto& [first, last] : table.entries) {
            if (first == -1 || last < first) continue;
            if (!blocks.find(first) || !blocks.find(last)) std::abort();
        }
        for (const auto& b : blocks.blocks)
            if (blocks.find(b.number) == nullptr) std::abort();
        for (int64_t npt :
             {int64_t(0), int64_t(table.stored_blocks), int64_t(table.block_size) / 4})
            (void)vesk::image_layout(table, npt);
    });
}
