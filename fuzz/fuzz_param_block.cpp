// Parameter blocks over arbitrary bytes. The first byte picks the block's
// offset (0 to 15), so records also start in the middle of the input. Every
// record costs at least 8 bytes, which bounds the entries a block can hold.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <variant>

#include "budget.h"
#include "veskread/extract/param_block.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return vesk::fuzz::parse_from_picked_offset(data, size, [&](vesk::Cursor& cur, int64_t start) {
        vesk::ParamBlock params = vesk::read_param_block(cur, start);
        if (params.size() > size / 8 + 1) std::abort();
        if (cur.tell() > static_cast<int64_t>(size)) std::abort();
        for (const auto& [key, value] : params.entries()) {
            if (key.size() > 4) std::abort();
            if (const auto* text = std::get_if<vesk::ParamText>(&value)) {
                if (text->bytes.size() > size || text->bytes.find('\0') != std::string::npos)
                    std::abort();
            }
            try {
                (void)vesk::param_as_double(value);
                (void)vesk::param_as_int(value, key);
            } catch (const vesk::Error& e) {
                if (e.kind() != vesk::ErrorKind::WrongType) std::abort();
            }
        }
    });
}
