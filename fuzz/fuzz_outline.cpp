// The outline of a whole file that the package makes before reading any
// values: every listed key's kind, shape and merged parameters, as one call
// under one budget. Each listed block is either outlined or refused, no
// extent is negative, and a spectrum's outline counts only values the file
// holds after its data offset.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "budget.h"
#include "veskread/extract/file_outline.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vesk;
    fuzz::CountingSource src(data, size);
    fuzz::Budget budget(size);
    FileOutline file = outline_file(src);
    for (const ListedBlock& b : file.blocks) {
        if (b.outline.has_value() == b.problem.has_value()) std::abort();
        if (!b.outline) continue;
        for (int64_t n : b.outline->shape)
            if (n < 0) std::abort();
        if (b.outline->kind == BlockKind::Spectrum &&
            (b.outline->shape.size() != 1 || b.outline->data_offset < 0 ||
             (b.outline->shape[0] > 0 &&
              b.outline->shape[0] * 4 > int64_t(size) - b.outline->data_offset)))
            std::abort();
    }
    return 0;
}
