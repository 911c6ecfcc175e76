// The annotation table over arbitrary bytes; the first input byte picks where
// the block starts (0 to 15). Checks that no column holds more cells than the
// rows the file can back (plus the fixed slack for small tables), once for
// each column of that name: same-named columns of one table feed one list.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "budget.h"
#include "veskread/extract/annotation_table.h"
#include "veskread/extract/regions.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return vesk::fuzz::parse_from_picked_offset(data, size, [&](vesk::Cursor& cur, int64_t start) {
        size_t unknown = 0;
        std::vector<std::string> wanted = vesk::RegionColumns::names();
        wanted.push_back("Label");
        auto table = vesk::read_annotation_table(cur, start, wanted,
                                                 [&](const vesk::ParamValue&) { ++unknown; });
        const std::string_view input(reinterpret_cast<const char*>(data), size);
        for (const auto& name : wanted) {
            const vesk::AnnoColumn* column = table.column(name);
            if (!column) continue;
            size_t named = 0; // an upper bound on the columns that bear the name
            for (size_t at = input.find(name); at != input.npos; at = input.find(name, at + 1))
                ++named;
            if (column->size() > (size + vesk::kRowSlack) * std::max<size_t>(named, 1))
                std::abort();
        }
    });
}
