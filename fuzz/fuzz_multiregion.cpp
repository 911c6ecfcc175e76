// Multiregion maps over a whole file: the annotation table, the groups and
// their regions, and the spectra or traces of every point, for every 3D key,
// each call under its budget (which includes every region's arrays).
#include <cstddef>
#include <cstdint>

#include "budget.h"
#include "calls.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vesk::fuzz;
    CountingSource src(data, size);
    auto dir = budgeted_directory(src);
    if (!dir) return 0;
    for_each_selected(src, *dir, "3D", [&](const Selected& s, const Key& key) {
        if (s.offsets.anno != -1) read_3d(src, s, key, kMultiRegions);
    });
    return 0;
}
