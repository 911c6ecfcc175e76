// The visible-image block over a whole file: the directory chain with its
// cycle guard, then every image's parameters and bytes, under one budget.
#include <cstddef>
#include <cstdint>

#include "budget.h"
#include "calls.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vesk::fuzz;
    CountingSource src(data, size);
    auto dir = budgeted_directory(src);
    if (!dir) return 0;
    Budget budget(size);
    read_visible_images(src, *dir);
    return 0;
}
