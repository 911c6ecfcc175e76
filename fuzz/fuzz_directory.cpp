// Header, directory and listing over arbitrary bytes. Beyond not crashing,
// checks that what comes back is bounded by the input: every main entry costs
// 12 bytes of the file and every extended entry 32, whatever the counts say.
// The two directories may overlap (and overlap the header), so each is
// bounded by the whole input on its own.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "budget.h"
#include "veskread/container/directory.h"
#include "veskread/container/listing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vesk::fuzz::CountingSource src(data, size);
    vesk::fuzz::Budget budget(size);
    try {
        (void)vesk::has_vesk_magic(src);
        std::vector<vesk::DirEntry> dir = vesk::read_directory(src);
        if (dir.size() > size / 12 + size / 32) std::abort();
        for (const auto& e : dir) {
            for (int f : e.type.fields())
                if (f < 0 || f > 127) std::abort();
        }
        for (const auto& key : vesk::list_contents(dir)) {
            if (key.dimensions != "2D" && key.dimensions != "3D") std::abort();
            if (key.type.empty() || key.derivative.size() != 4) std::abort();
        }
    } catch (const vesk::Error&) {
        // Refusing a malformed file is the expected outcome.
    }
    return 0;
}
