// File header and block directory.
//
// The header at offset 0 holds the magic number (compared big-endian), the
// offset and entry count of the main directory. Main entries are three int32;
// the last main entry with extendType 64 may point to one extended directory
// of int64 entries. Entries keep their stored (signed) length and offset.
#pragma once

#include <cstdint>
#include <vector>

#include "veskread/container/block_type.h"
#include "veskread/container/byte_source.h"

namespace vesk {

constexpr int32_t kVeskMagic = 168492798; // bytes 0A 0A FE FE read big-endian

struct DirEntry {
    BlockType type;
    int64_t size_in_words;
    int64_t byte_offset;
};

// True when the source starts with the magic number; false for fewer than 4 bytes.
bool has_vesk_magic(const ByteSource& src);

// The whole directory, main entries first, in file order.
std::vector<DirEntry> read_directory(const ByteSource& src);

// Where the entries' blocks begin, in entry order.
std::vector<int64_t> block_starts(const std::vector<DirEntry>& directory);

} // namespace vesk
