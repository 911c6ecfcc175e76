// The 2D read over a whole file: selection, merge, the x axis of NPT points
// and the float32 values, for every 2D key, each call under its budget.
#include <cstddef>
#include <cstdint>

#include "budget.h"
#include "calls.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vesk::fuzz;
    CountingSource src(data, size);
    auto dir = budgeted_directory(src);
    if (!dir) return 0;
    for_each_selected(src, *dir, "2D", [&](const Selected& s, const Key&) { read_2d(src, s); });
    return 0;
}
