// Reading the stored blocks of a 3D data block.
//
// Each stored block starts with float32 values; its info part holds a float64
// time 136 bytes after the values or a trace name from 152 bytes after them.
// The reader answers with positioned reads and follows a Python binary file
// read by numpy's fromfile: a short read yields fewer values and leaves the
// position at the end of the file. It touches no Python object, so callers
// may run it without the interpreter lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "veskread/container/byte_source.h"
#include "veskread/extract/store_table.h"

namespace vesk {

class BlockReader {
public:
    // The file size is taken once; reads still stop wherever the file ends.
    explicit BlockReader(const ByteSource& src);

    int64_t file_size() const { return size_; }

    // Throws what seeking a Python file to `offset` raises, if anything.
    static void check_seek(int64_t offset);

    // How many of `count` values the file holds at `offset` (no read).
    int64_t values_at(int64_t offset, int64_t count) const;
    // Reads up to `count` values into dst (room for `count`), converting
    // from little-endian; returns how many were there.
    int64_t read_values(int64_t offset, int64_t count, float* dst) const;
    // Reads the values of `blocks` stored blocks lying `stride` bytes apart
    // from `offset` with one read, into dst (count values per block, packed).
    // False, with dst unspecified, unless every value was there.
    bool read_run(int64_t offset, int64_t blocks, int64_t stride, int64_t count, float* dst,
                  std::vector<unsigned char>& scratch) const;
    // File position after asking for `count` values at `offset` and getting `got`.
    int64_t position_after(int64_t offset, int64_t count, int64_t got) const;

    // The time 136 bytes past `position`; ShortRead when the file ends first.
    double read_time(int64_t position) const;
    // Whether read_time would find all 8 bytes.
    bool has_time(int64_t position) const;

    // The name 152 bytes past `position`: info_size - 152 bytes (-1 meaning
    // the rest of the file), cut before the first NUL.
    std::string read_label(int64_t position, int32_t info_size) const;

private:
    const ByteSource& src_;
    int64_t size_;
};

// Trace names of the stored blocks; repeated names share one text.
struct Labels {
    std::vector<std::string> texts;
    std::vector<uint32_t> of_block; // index into texts, one per stored block
};

} // namespace vesk
