// The stored-block value readers over a whole file: time-resolved spectra
// with their times, trace series, and image maps of spectra, planes and
// traces, for every 3D key, each call under its budget (which includes the
// result arrays the binding allocates).
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
        read_3d(src, s, key, kImageMaps | kTimeResolved);
    });
    return 0;
}
