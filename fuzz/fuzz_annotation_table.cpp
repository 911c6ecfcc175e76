// The annotation table over arbitrary bytes; the first input byte picks where
// the block starts (0 to 15). Checks that no column holds more cells than the
// rows the file can back (plus the fixed slack for small tables).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "budget.h"
#include "veskread/extract/annotation_table.h"
#include "veskread/extract/regions.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    vesk::fuzz::CountingSource src(data + 1, size - 1);
    vesk::fuzz::Budget budget(size);
    vesk::Cursor cur(src);
    try {
        size_t unknown = 0;
        std::vector<std::string> wanted = vesk::RegionColumns::names();
        wanted.push_back("Label");
        auto table = vesk::read_annotation_table(cur, data[0] & 15, wanted,
                                                 [&](const vesk::ParamValue&) { ++unknown; });
        for (const auto& name : wanted)
            if (const vesk::AnnoColumn* column = table.column(name))
                if (column->size() > size + vesk::kRowSlack) std::abort();
    } catch (const vesk::Error&) {
    }
    return 0;
}
