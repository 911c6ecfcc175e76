#include "veskread/container/directory.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "veskread/container/interrupt.h"

namespace vesk {

namespace {
// Entries decoded between polls for an interrupt: a poll per entry would
// cost as much as decoding it.
constexpr int kPollEvery = 1024;
} // namespace

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

    // Entries the file holds in full are read with one read; the rest (if
    // the count promises more) field by field, so that the first field the
    // file lacks raises its own short read.
    std::vector<DirEntry> entries;
    int64_t ext_offset = 0;
    auto whole = [&](int64_t declared, int64_t entry_size) {
        int64_t avail = std::max<int64_t>(cur.source_size() - cur.tell(), 0) / entry_size;
        return declared > 0 ? std::min(declared, avail) : int64_t(0);
    };
    auto field = [](const char* p, auto type) {
        decltype(type) v;
        std::memcpy(&v, p, sizeof v);
        return v;
    };
    int64_t n = whole(count, 12);
    std::string raw = cur.read_upto(n * 12);
    n = static_cast<int64_t>(raw.size()) / 12;
    entries.reserve(static_cast<size_t>(n));
    for (int32_t i = 0; i < count; ++i) {
        if (i % kPollEvery == 0) poll_interrupt(12 * kPollEvery);
        int32_t word, size, offset;
        if (i < n) {
            const char* p = raw.data() + 12 * i;
            word = field(p, int32_t{});
            size = field(p + 4, int32_t{});
            offset = field(p + 8, int32_t{});
        } else {
            word = cur.read_i32();
            size = cur.read_i32();
            offset = cur.read_i32();
        }
        BlockType t = decode_block_type(word);
        entries.push_back({t, size, offset});
        if (t.extend_type == kExtendExtendedDirectory) ext_offset = offset;
    }
    if (ext_offset != 0) {
        cur.seek(ext_offset);
        int64_t m = cur.read_i64();
        (void)cur.read_i64();
        int64_t e = whole(m, 32);
        std::string ext = cur.read_upto(e * 32);
        e = static_cast<int64_t>(ext.size()) / 32;
        for (int64_t k = 0; k < m; ++k) {
            if (k % kPollEvery == 0) poll_interrupt(32 * kPollEvery);
            int64_t word, size, offset;
            if (k < e) {
                const char* p = ext.data() + 32 * k;
                word = field(p, int64_t{});
                size = field(p + 8, int64_t{});
                offset = field(p + 16, int64_t{});
            } else {
                word = cur.read_i64();
                size = cur.read_i64();
                offset = cur.read_i64();
                (void)cur.read_i64();
            }
            entries.push_back({decode_block_type(word), size, offset});
        }
    }
    return entries;
}

std::vector<int64_t> block_starts(const std::vector<DirEntry>& directory) {
    std::vector<int64_t> out;
    out.reserve(directory.size());
    for (const DirEntry& e : directory) out.push_back(e.byte_offset);
    return out;
}

} // namespace vesk
