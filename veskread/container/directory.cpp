#include "veskread/container/directory.h"

#include "veskread/container/interrupt.h"

namespace vesk {

bool has_vesk_magic(const ByteSource& src) {
    Cursor cur(src);
    try {
        return cur.read_i32_be() == kVeskMagic;
    } catch (const Error& e) {
        if (e.kind() == ErrorKind::ShortRead) return false;
        throw;
    }
}

std::vector<DirEntry> read_directory(const ByteSource& src) {
    Cursor cur(src);
    cur.seek(4);
    (void)cur.read_f64();
    int32_t dir_offset = cur.read_i32();
    (void)cur.read_i32();
    int32_t count = cur.read_i32();
    cur.seek(dir_offset);

    // Grown entry by entry: a count the file cannot back ends in a short read
    // long before memory matters.
    std::vector<DirEntry> entries;
    int64_t ext_offset = 0;
    for (int32_t i = 0; i < count; ++i) {
        poll_interrupt(12);
        int32_t word = cur.read_i32();
        int32_t size = cur.read_i32();
        int32_t offset = cur.read_i32();
        BlockType t = decode_block_type(word);
        entries.push_back({t, size, offset});
        if (t.extend_type == kExtendExtendedDirectory) ext_offset = offset;
    }
    if (ext_offset != 0) {
        cur.seek(ext_offset);
        int64_t m = cur.read_i64();
        (void)cur.read_i64();
        for (int64_t k = 0; k < m; ++k) {
            poll_interrupt(32);
            int64_t word = cur.read_i64();
            int64_t size = cur.read_i64();
            int64_t offset = cur.read_i64();
            (void)cur.read_i64();
            entries.push_back({decode_block_type(word), size, offset});
        }
    }
    return entries;
}

} // namespace vesk
