// A whole file through block selection, the parameter merge, the 3D store
// table, the kind choice and the annotation table, for a handful of keys.
// Aborts when the stored blocks outnumber what the input could hold.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "budget.h"
#include "veskread/container/listing.h"
#include "veskread/extract/annotation_table.h"
#include "veskread/extract/kind_choice.h"
#include "veskread/extract/selection.h"
#include "veskread/extract/store_table.h"

namespace {

void read_block(const vesk::ByteSource& src, const std::vector<vesk::DirEntry>& dir,
                const char* type, const char* dims, size_t size) {
    auto offsets = vesk::scan_directory(dir, vesk::request_for(type, dims, "NONE"));
    if (offsets.data == -1 || offsets.params == -1) return;
    vesk::Cursor cur(src);
    vesk::ParamBlock params = vesk::merge_parameters(cur, offsets);
    if (params.size() > size / 8 + 1) std::abort();
    if (std::string_view(dims) == "3D") {
        vesk::StoreTable table = vesk::read_store_table(cur, offsets.data);
        vesk::StoredBlocks blocks = vesk::stored_block_offsets(table, src.size());
        int64_t stride = int64_t(table.block_size) + table.info_size;
        if (static_cast<int64_t>(blocks.blocks.size()) >
            static_cast<int64_t>(size) / (stride > 1 ? stride : 1) + 65536)
            std::abort();
        (void)vesk::choose_kind(params, offsets.anno);
    }
    if (offsets.anno != -1) {
        vesk::Cursor anno(src);
        size_t unknown = 0;
        auto table = vesk::read_annotation_table(anno, offsets.anno,
                                                 {"Group", "Type", "Fileindex", "X", "Y"},
                                                 [&](const vesk::ParamValue&) { ++unknown; });
        for (const auto& [name, column] : table.columns)
            if (column->size() > size + vesk::kRowSlack) std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vesk::fuzz::CountingSource src(data, size);
    vesk::fuzz::Budget budget(size);
    std::vector<vesk::DirEntry> dir;
    try {
        dir = vesk::read_directory(src);
    } catch (const vesk::Error&) {
        return 0;
    }
    for (const char* type : {"AB", "TRC", "SSC"})
        for (const char* dims : {"2D", "3D"}) {
            try {
                read_block(src, dir, type, dims, size);
            } catch (const vesk::Error&) {
            }
        }
    return 0;
}
