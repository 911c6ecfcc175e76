// Block selection and the parameter merge for every valid key (each type and
// its second channel, 2D and 3D, every derivative) over a whole file. Each
// distinct selection is one call under its own budget; the merged block can
// hold no more entries than its records, 8 bytes each at least, allow.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "budget.h"
#include "calls.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vesk::fuzz;
    CountingSource src(data, size);
    auto dir = budgeted_directory(src);
    if (!dir) return 0;
    for (const char* dims : {"2D", "3D"})
        for_each_selected(src, *dir, dims, [&](const Selected& s, const Key&) {
            // Six blocks merge; repeated keys overwrite.
            if (s.params.size() > 6 * (size / 8 + 1)) std::abort();
        });
    return 0;
}
